// A window handle as a word of the command line.
#pragma once

// Base 10, as the listing prints handles, or base 16 after "0x" or "0X", as
// window spy tools and scripting languages show them. Text without digits
// reads as 0, which the library rejects as a null handle.
void *handle_argument(const char *text);
