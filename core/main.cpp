#include "core/driver.h"

int main(int argc, char** argv) {
  return xarvel::ProgramEntry(argc, argv);
}
