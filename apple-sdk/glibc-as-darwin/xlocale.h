// Not an Apple interface: glibc's headers stand in for Darwin's C library in the type-check,
// and libc++ configured for Apple reads these extended-locale functions from <xlocale.h>,
// which Darwin has and glibc does not. Declared as Darwin's <xlocale/_stdlib.h> and
// <xlocale/_stdio.h> declare them.
#pragma once

#include <ctype.h>
#include <locale.h>
#include <stddef.h>

#if defined(__cplusplus)
extern "C" {
#endif

long long strtoll_l(const char*, char**, int, locale_t);
unsigned long long strtoull_l(const char*, char**, int, locale_t);
float strtof_l(const char*, char**, locale_t);
double strtod_l(const char*, char**, locale_t);
long double strtold_l(const char*, char**, locale_t);
int snprintf_l(char*, size_t, locale_t, const char*, ...);
int asprintf_l(char**, locale_t, const char*, ...);
int sscanf_l(const char*, locale_t, const char*, ...);

#if defined(__cplusplus)
}
#endif

// glibc makes these macros that dereference the locale; libc++ passes Darwin's C locale,
// a null locale_t, so the functions (which glibc also declares) are what it must reach.
#undef isdigit_l
#undef isxdigit_l
