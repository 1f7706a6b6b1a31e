// Loads the built ct32.so with dlopen and binds its entry points the way the
// module does: by name, with signed 8-bit results. Test support only.
#ifndef ML_COMPONENTS_CTAPI_TESTS_CT32_LOADER_H_
#define ML_COMPONENTS_CTAPI_TESTS_CT32_LOADER_H_

#include <dlfcn.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace ct32test {

// CT-API results and addresses, spelled out so that the tests do not lean on the driver's header.
constexpr int8_t kOk = 0;
constexpr int8_t kErrInvalid = -1;
constexpr int8_t kErrCt = -8;
constexpr int8_t kErrTrans = -10;
constexpr int8_t kErrMemory = -11;
constexpr int8_t kErrHtsi = -128;

constexpr uint8_t kCard = 0;
constexpr uint8_t kTerminal = 1;
constexpr uint8_t kHost = 2;

class Ct32Library {
  public:
    // Throws std::runtime_error when the library or an entry point is missing.
    Ct32Library() : handle_(dlopen(CT32_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL)) {
        if (handle_ == nullptr) {
            throw std::runtime_error(std::string("dlopen: ") + dlerror());
        }
        Bind(init, "CT_init");
        Bind(data, "CT_data");
        Bind(close, "CT_close");
        Bind(set_trace_options, "CT_SetTraceOptions");
    }
    ~Ct32Library() { dlclose(handle_); }
    Ct32Library(const Ct32Library&) = delete;
    Ct32Library& operator=(const Ct32Library&) = delete;

    int8_t (*init)(uint16_t, uint16_t) = nullptr;
    int8_t (*data)(uint16_t, uint8_t*, uint8_t*, uint16_t, uint8_t*, uint16_t*, uint8_t*) = nullptr;
    int8_t (*close)(uint16_t) = nullptr;
    void (*set_trace_options)(int, int) = nullptr;

  private:
    template <typename Fn>
    void Bind(Fn& fn, const char* name) {
        fn = reinterpret_cast<Fn>(dlsym(handle_, name));
        if (fn == nullptr) {
            throw std::runtime_error(std::string("missing entry point ") + name);
        }
    }

    void* handle_ = nullptr;
};

// One CT_data exchange with a 500-byte answer buffer, as the module makes it.
struct Exchange {
    int8_t result = 0;
    uint8_t dad = 0;
    uint8_t sad = 0;
    std::vector<uint8_t> answer;  // the first lenr bytes of the buffer

    uint16_t Sw() const { return answer.size() < 2 ? 0 : answer.end()[-2] << 8 | answer.back(); }
    std::vector<uint8_t> Data() const {
        return {answer.begin(), answer.size() < 2 ? answer.begin() : answer.end() - 2};
    }
};

inline Exchange Send(const Ct32Library& ct, uint16_t ctn, uint8_t dad,
                     std::vector<uint8_t> command) {
    Exchange exchange;
    exchange.dad = dad;
    exchange.sad = kHost;
    std::vector<uint8_t> buffer(500, 0);
    uint16_t lenr = static_cast<uint16_t>(buffer.size());
    exchange.result =
        ct.data(ctn, &exchange.dad, &exchange.sad, static_cast<uint16_t>(command.size()),
                command.data(), &lenr, buffer.data());
    if (exchange.result == kOk) {
        exchange.answer.assign(buffer.begin(), buffer.begin() + lenr);
    }
    return exchange;
}

// The whole content of a text file; empty when it cannot be read.
inline std::string ReadFile(const std::string& path) {
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

}  // namespace ct32test

#endif  // ML_COMPONENTS_CTAPI_TESTS_CT32_LOADER_H_
