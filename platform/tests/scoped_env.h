// An environment variable set (nullptr: unset) until the end of the scope.
#ifndef ML_PLATFORM_TESTS_SCOPED_ENV_H_
#define ML_PLATFORM_TESTS_SCOPED_ENV_H_

#include <cstdlib>
#include <optional>
#include <string>

namespace ml::test {

class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name))
            old_ = old;
        Set(value);
    }
    ScopedEnv(const char* name, const std::string& value) : ScopedEnv(name, value.c_str()) {}
    ~ScopedEnv() { Set(old_ ? old_->c_str() : nullptr); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
#ifdef _WIN32  // an empty value removes the variable there
    void Set(const char* value) {
        ::_putenv_s(name_, value ? value : "");
    }
#else
    void Set(const char* value) {
        value ? ::setenv(name_, value, 1) : ::unsetenv(name_);
    }
#endif
    const char* name_;
    std::optional<std::string> old_;
};

}  // namespace ml::test

#endif  // ML_PLATFORM_TESTS_SCOPED_ENV_H_
