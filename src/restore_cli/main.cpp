#include "restore_cli/entry.hpp"

int main(int argc, char** argv) { return korvo::run_entry(argc, argv); }
