// Checks that a known password reached no log.
#ifndef ML_INFRASTRUCTURE_TESTING_LOG_SCAN_H_
#define ML_INFRASTRUCTURE_TESTING_LOG_SCAN_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace mltest {

// Scans every file below `directory` (recursively) for `secret` in UTF-8, in
// the ANSI code page and in UTF-16LE, and fails the current test for each
// file that holds it; the failure names the file and the offset, never the
// secret. An empty secret fails the test (it would be found everywhere).
// Returns the number of files scanned, so a caller can also check that its
// logs were there to be scanned.
size_t ExpectNoSecretInLogs(const std::string& directory, std::u16string_view secret);
// The entries a log file got since the last call, as "method|line" without
// date, time and thread ("|" for an empty entry). With `method`, only the
// entries of the methods that start with it, each with the empty entry
// before it.
class LogTail {
  public:
    explicit LogTail(std::string path, std::string method = "");
    std::vector<std::string> Next();

  private:
    std::string path_, method_;
    size_t seen_ = 0;
};

}  // namespace mltest

#endif  // ML_INFRASTRUCTURE_TESTING_LOG_SCAN_H_
