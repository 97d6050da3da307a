// orvdaaci: writes the delegated-administration LDIF for a directory.
#include <cstdio>
#include <string>

#include "daaci/daaci.h"

int main(int argc, char** argv) {
  daaci_options opts;
  std::string error;
  switch (daaci_parse_args(argc, argv, &opts, &error)) {
    case daaci_action::generic_template:
      return daaci_write_template(stdout);
    case daaci_action::usage:
      daaci_usage(stdout);
      return 0;
    case daaci_action::bad_option:
      std::fprintf(stderr, "orvdaaci: %s\n", error.c_str());
      return 1;
    case daaci_action::run:
      break;
  }
  return daaci_run(opts, stdout);
}
