#include "zorv.h"

int main(int argc, char** argv) {
  return zorv::zorv_main(argc, argv);
}
