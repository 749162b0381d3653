// "keep": windows kept the way the rules say, and hotkeys, until stopped;
// then everything given back.
#pragma once

int run_keep(int argc, char **argv);
