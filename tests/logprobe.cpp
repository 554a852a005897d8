// Test helper: logs each argument as one diagnostic line (tst_log expects the
// LOG statement on line 7 of this file).
#include "log.h"

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) LOG(QString::fromUtf8(argv[i]));
    return 0;
}
