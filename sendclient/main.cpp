// mvncsend: the send client program.
#include "sendclient/sendclient.h"

MVN_APPLICATION(SendClient);

int main() { program_entry(); }
