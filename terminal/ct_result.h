// CT result codes: the results of the terminal object's card operations,
// also accepted by the card error queries. 3 and 9 are not used.
#ifndef ML_TERMINAL_CT_RESULT_H_
#define ML_TERMINAL_CT_RESULT_H_

inline constexpr int CT_ERROR = -1;
inline constexpr int CT_OK = 0;
inline constexpr int CT_NOCARD = 1;
inline constexpr int CT_FOULCARD = 2;
inline constexpr int CT_NOFILE = 4;
inline constexpr int CT_EMPTYFILE = 5;
inline constexpr int CT_FILEERROR = 6;
inline constexpr int CT_NODELETE = 7;
inline constexpr int CT_FILEEXISTS = 8;
inline constexpr int CT_FILETOOSHORT = 10;
inline constexpr int CT_WRONGVERSION = 11;

#endif  // ML_TERMINAL_CT_RESULT_H_
