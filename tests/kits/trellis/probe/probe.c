/* Linked with a fixed build-id so the identity tests know what to expect. */
#include <stdio.h>

int main(void) {
    puts("trellis identity probe");
    return 0;
}
