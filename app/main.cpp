#include "booth/FlashwrenMain.h"

int main(int argc, char** argv) {
    return flashwrenMain(argc, argv);
}
