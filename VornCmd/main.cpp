#include "VornCmd/cmd_tool.h"

int main(int argc, char** argv) { return vorn::cmd::RunVornCmd(argc, argv); }
