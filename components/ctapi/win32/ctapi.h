/* The published CT-API (version 1.1) as Windows drivers offer it: the same
 * entry points, results and addresses as on Linux, with the standard
 * Windows calling convention (the callee removes the arguments), which is
 * what a 32-bit caller of ct32.dll expects. On 64-bit Windows there is only
 * one convention. */
#ifndef ML_COMPONENTS_CTAPI_WIN32_CTAPI_H_
#define ML_COMPONENTS_CTAPI_WIN32_CTAPI_H_

#include <stdint.h>

#if defined(__i386__)
#define CT_API_CALL __stdcall
#else
#define CT_API_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

int8_t CT_API_CALL CT_init(uint16_t ctn, uint16_t pn);
int8_t CT_API_CALL CT_data(uint16_t ctn, uint8_t* dad, uint8_t* sad, uint16_t lenc,
                           uint8_t* command, uint16_t* lenr, uint8_t* response);
int8_t CT_API_CALL CT_close(uint16_t ctn);

enum {
    OK = 0,
    ERR_INVALID = -1,
    ERR_CT = -8,
    ERR_TRANS = -10,
    ERR_MEMORY = -11,
    ERR_HOST = -127,
    ERR_HTSI = -128
};

enum { HOST = 0x02, REMOTE_HOST = 0x05 };

enum { ICC1 = 0x00, CT = 0x01, ICC2 = 0x02 };

#ifdef __cplusplus
}
#endif

#endif /* ML_COMPONENTS_CTAPI_WIN32_CTAPI_H_ */
