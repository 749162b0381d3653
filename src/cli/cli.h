// The front end's commands; each takes the whole command line and returns the exit code.
#pragma once

void print_usage();
int run_pin(int argc, char **argv);
int run_opacity(int argc, char **argv);
int run_self_test(int argc, char **argv);
