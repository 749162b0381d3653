/* What the C hosts of the tests share: the five exports, resolved from the
 * loaded exe, and output lines that several threads write whole. Each host
 * is one translation unit that includes this once. */
#ifndef KESTAL_TEST_HOST_SUPPORT_H
#define KESTAL_TEST_HOST_SUPPORT_H

#include <windows.h>

#include <stdarg.h>
#include <stdio.h>

#include "kestal.h"

static kestal_list_fn list;
static kestal_free_string_fn free_string;
static kestal_set_topmost_fn set_topmost;
static kestal_set_opacity_fn set_opacity;
static kestal_last_error_fn last_error;

static volatile LONG failures;

/* Whole lines from several threads, never mixed; the host initialises it first. */
static CRITICAL_SECTION output;

static void say(const char *format, ...) __attribute__((format(gnu_printf, 1, 2)));
static void say(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    EnterCriticalSection(&output);
    vprintf(format, args);
    fflush(stdout);
    LeaveCriticalSection(&output);
    va_end(args);
}

/* The five exports; 0 when one is missing. GetProcAddress only reads the
 * export table: nothing runs in the image yet. */
static int resolve_exports(HMODULE exe)
{
    list = (kestal_list_fn)(void (*)(void))GetProcAddress(exe, "kestal_list");
    free_string = (kestal_free_string_fn)(void (*)(void))GetProcAddress(exe, "kestal_free_string");
    set_topmost = (kestal_set_topmost_fn)(void (*)(void))GetProcAddress(exe, "kestal_set_topmost");
    set_opacity = (kestal_set_opacity_fn)(void (*)(void))GetProcAddress(exe, "kestal_set_opacity");
    last_error = (kestal_last_error_fn)(void (*)(void))GetProcAddress(exe, "kestal_last_error");
    return list && free_string && set_topmost && set_opacity && last_error;
}

#endif
