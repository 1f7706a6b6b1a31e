// The APDUs of CTCOSCard::ReadFiles sent straight to pcsc-lite, for the
// terminal benchmark. Kept apart from the module's headers, whose Windows
// type names clash with pcsc-lite's.
#ifndef ML_BENCH_TERMINAL_BENCH_PCSC_H_
#define ML_BENCH_TERMINAL_BENCH_PCSC_H_

#include <memory>
#include <string>

namespace mlbench {

// One pcsc-lite context and shared connection to the card in `reader`.
class DirectPcscReader {
  public:
    explicit DirectPcscReader(const std::string& reader);
    ~DirectPcscReader();
    DirectPcscReader(const DirectPcscReader&) = delete;
    DirectPcscReader& operator=(const DirectPcscReader&) = delete;

    // False when the context or the connection failed.
    bool Connected() const;
    // Selects and reads 5511 (42 bytes), 5522 (32) and 5533 (100); false
    // when a command fails or answers other than 90 00.
    bool ReadFiles();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace mlbench

#endif  // ML_BENCH_TERMINAL_BENCH_PCSC_H_
