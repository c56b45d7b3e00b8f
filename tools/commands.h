// commands.h - the subcommands of wsqtool, one file each.
#pragma once

// Each takes the arguments after the command name (argv[0] is the command
// name itself) and returns the process exit status: 0 every file
// succeeded, 1 any failed, 2 usage error.
int cmd_info(int argc, char **argv);
int cmd_decode(int argc, char **argv);
int cmd_encode(int argc, char **argv);
