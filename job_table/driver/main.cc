#include <iostream>

#include "job_table/driver/driver.h"

int main(int argc, char** argv) {
  msdisf::Console console{std::cout, std::cerr};
  return msdisf::run_driver(argc, argv, console);
}
