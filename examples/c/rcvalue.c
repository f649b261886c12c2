/*
 * rcvalue FILE GROUP KEY [VALUE]: stores VALUE under GROUP/KEY in FILE
 * when given, then prints the value found there.  Build:
 *   cc rcvalue.c $(pkg-config --cflags --libs vdlrc)
 */
#include <stdio.h>

#include <vdl/rcfile.h>

int main(int argc, char **argv)
{
    char value[VDL_RC_VALUE_SIZE];

    if (argc != 4 && argc != 5) {
        fprintf(stderr, "usage: rcvalue FILE GROUP KEY [VALUE]\n");
        return 2;
    }
    if (argc == 5 && !vdlSetRCFileValue(argv[1], argv[2], argv[3], argv[4]))
        return 1;
    if (!vdlGetRCFileValue(argv[1], argv[2], argv[3], value))
        return 1;
    printf("%s\n", value);
    return 0;
}
