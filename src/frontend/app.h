// Program entry: banner, options, the choice of driver, and the exit status.
#pragma once

int run_main(int argc, char** argv);
