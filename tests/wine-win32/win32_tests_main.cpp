#include "win32_test_support.h"

int main(int argc, char** argv) { return chanpipe_test::run_tests(argc, argv); }
