// Shows one message box through the built dialog component, as a host
// does, and prints "HRESULT RESULT" and whether a toolkit library came into
// the process: the Xvfb test's stand-in for a host.
//   desktop_show COMPONENT CAPTION TYPE TEXT
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>

#include <fstream>
#include <sstream>
#include <string>

#include "components/dialog/logondm.h"
#include "platform/codepage.h"
#include "platform/com.h"

int main(int argc, char** argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: desktop_show COMPONENT CAPTION TYPE TEXT\n");
        return 2;
    }
    void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    auto factory = library
                       ? reinterpret_cast<MlCreateInstanceFn>(dlsym(library, ML_COM_FACTORY_SYMBOL))
                       : nullptr;
    void* object = nullptr;
    if (factory == nullptr || factory(CLSID_LogonDM, IID_ILogonDM, &object) != S_OK) {
        fprintf(stderr, "desktop_show: cannot create the component: %s\n", dlerror());
        return 2;
    }
    auto* dm = static_cast<ILogonDM*>(object);
    const std::u16string caption = ml::FromUtf8(argv[2]), text = ml::FromUtf8(argv[4]);
    BSTR c = SysAllocStringLen(caption.data(), UINT(caption.size()));
    BSTR t = SysAllocStringLen(text.data(), UINT(text.size()));
    LONG result = -1;
    HRESULT hr = dm->ShowMessageBox(7u, LogonDMIdentification(7u), -1, nullptr, t, c,
                                    UINT(strtoul(argv[3], nullptr, 10)), &result);
    SysFreeString(c);
    SysFreeString(t);
    dm->Release();
    std::stringstream maps;
    maps << std::ifstream("/proc/self/maps").rdbuf();
    const bool gtk = maps.str().find("libgtk") != std::string::npos;
    printf("0x%08X %ld%s\n", static_cast<unsigned>(hr), static_cast<long>(result),
           gtk ? " gtk-loaded" : "");
    return 0;
}
