#include <clocale>
#include <iostream>

#include "ComposeCommand.h"

int main(int argc, char** argv) {
  // The archive's date in the user's own formats.
  std::setlocale(LC_TIME, "");
  std::ios::sync_with_stdio(false);
  return tarvik::compose::ComposeCommand(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
