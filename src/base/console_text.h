// Every text the command line prints goes through here. The text is UTF-8;
// a console decodes bytes with its own code page, usually an OEM one, so a
// console gets the text as UTF-16. Pipes and files get the bytes unchanged:
// that is what scripts read.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

// printf-style UTF-8 output: a console gets it as UTF-16 through
// WriteConsoleW; pipes and files get the bytes unchanged. False when the text
// could not be written.
bool print_out(const char *fmt, ...) __attribute__((format(gnu_printf, 1, 2)));
bool print_err(const char *fmt, ...) __attribute__((format(gnu_printf, 1, 2)));

// The same for a text of any length, without formatting.
bool write_out(std::string_view text);
bool write_err(std::string_view text);

// The same for any stream: stdout and stderr as above, any other stream
// (a report file, say) gets the bytes unchanged.
bool print_to(FILE *stream, const char *fmt, ...) __attribute__((format(gnu_printf, 2, 3)));
bool write_to(FILE *stream, std::string_view text);

// Completes both streams before the process ends: a UTF-8 sequence that a
// write left unfinished on a console is shown as U+FFFD, and stdout's buffer
// is flushed. True when every byte meant for stdout arrived; otherwise
// `reason` says why not.
bool finish_output(char *reason, std::size_t size);
