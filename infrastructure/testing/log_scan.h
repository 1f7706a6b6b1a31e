// Checks that a known password reached no log.
#ifndef ML_INFRASTRUCTURE_TESTING_LOG_SCAN_H_
#define ML_INFRASTRUCTURE_TESTING_LOG_SCAN_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace mltest {

// Fails the test for each file below `directory` holding `secret` (UTF-8, ANSI
// or UTF-16LE), naming file and offset, never the secret; an empty secret
// fails. Returns the number of files scanned.
size_t ExpectNoSecretInLogs(const std::string& directory, std::u16string_view secret);
// A log's new entries since the last call as "method|line" ("|": empty entry);
// with `method`, only those of methods starting with it, with their empty one.
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
