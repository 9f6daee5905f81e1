// Stand-ins for the help-tip hooks and the window translation until the
// program's own are linked in.
#include <string>

namespace mvn::framework {
class Window;
}

namespace mvn::helptips {
void HintwellWindowOpened(mvn::framework::Window*, const char*, int) {}
int HintwellTakeEvent(mvn::framework::Window*, int, int) { return 0; }
void HintwellTipRequest(const char*, const char*, const char*, const char*) {}
void HintwellWindowClosed(mvn::framework::Window*) {}
}  // namespace mvn::helptips

namespace mvn::client {
void TranslateWindow(mvn::framework::Window*, const char*) {}
}  // namespace mvn::client
