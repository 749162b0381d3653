// "watch": the listing, then one line per change, until stopped.
#pragma once

int run_watch(int argc, char **argv);
