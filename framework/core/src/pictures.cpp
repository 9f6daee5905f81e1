// Dates, times and pictures (see strings.h).
#include "framework/core/strings.h"

namespace mvn::framework {

int32_t Date(int, int, int) { return 0; }
void SplitDate(int32_t, int* year, int* month, int* day) { *year = *month = *day = 0; }
int32_t Today() { return 0; }
int32_t Clock() { return 0; }
int32_t Time(int hours, int minutes, int seconds, int hundredths) {
  return ((hours * 60 + minutes) * 60 + seconds) * 100 + hundredths + 1;
}
std::string Format(int64_t value, std::string_view) { return std::to_string(value); }
int64_t Deformat(std::string_view, std::string_view, bool* ok) {
  if (ok) *ok = false;
  return 0;
}
int32_t DeformatDate(std::string_view, std::string_view, int, bool* ok) {
  if (ok) *ok = false;
  return 0;
}
int DayOfWeek(int32_t date) { return static_cast<int>(date % 7); }

}  // namespace mvn::framework
