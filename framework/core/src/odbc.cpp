// ODBC data sources: not available in this build.
#include "framework/core/src/backend.h"

namespace mvn::framework {
namespace {

class OdbcBackend : public FileBackend {
 public:
  explicit OdbcBackend(FileManager& owner) : FileBackend(owner) {}
  int Open(unsigned) override { return Refuse(); }
  int Create() override { return Refuse(); }
  int Close() override { return Ok(); }
  bool IsOpen() const override { return false; }
  std::string FilePath() const override { return m_owner.Name(); }
  int Set(int, const Record*) override { return Refuse(); }
  int Next(Record&, size_t*) override { return Refuse(); }
  int Insert(Record&, size_t) override { return Refuse(); }
  int64_t Records() override {
    Refuse();
    return -1;
  }
  int Copy(const std::string&) override { return Refuse(); }
  int Remove() override { return Refuse(); }

 private:
  int Refuse() { return Fail(DriverNotSupportedError, "The ODBC driver is not supported"); }
};

}  // namespace

std::unique_ptr<FileBackend> MakeOdbcBackend(FileManager& owner) { return std::make_unique<OdbcBackend>(owner); }

}  // namespace mvn::framework
