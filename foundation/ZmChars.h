#pragma once

// 8-bit character classes of the ISO-8859-1 text the library reads, and case-insensitive
// comparison that folds ASCII letters only. Bytes are taken as unsigned.
bool cfIsDigit(char c);
bool cfIsAlpha(char c);
bool cfIsCSymbol(char c);
bool cfIsSpace(char c);
char cfToLower(char c);

// Compare at most n characters, folding A-Z only; -1, 0 or 1. A null text sorts first.
// It does not stop at a terminator: the caller bounds n.
int cfStrnicmp(const char* a, const char* b, unsigned long n);
// As cfStrnicmp over the common length; then the shorter text sorts first.
int cfStricmp(const char* a, const char* b);
