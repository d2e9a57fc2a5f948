// Entry of vandrelis-eventkit: hands the arguments (without the program path) to the frame.
#include <string>
#include <vector>

#include "command_frame.h"
#include "store/platform_store.h"

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  return vandrelis::runHelper(arguments, vandrelis::store::makePlatformStore);
}
