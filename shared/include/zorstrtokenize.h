// In-place tokenizers. The _r forms keep their position in the caller's
// pointer; the plain forms share one static position and warn about it
// when debugging is turned up.
#pragma once

/// Next field, empty fields included.
char* zorTokenize_r(char* cpString, const char* cpDelim, char** cppCurPos);
/// Next token, empty fields skipped.
char* zorStrTok_r(char* cpString, const char* cpDelim, char** cppCurPos);
char* zorTokenize(char* cpString, const char* cpDelim);
char* zorStrTok(char* cpString, const char* cpDelim);

/// Debug level of the tokenizer unit; 99 or more makes the plain forms warn.
extern int giDebug_strtokenize;
