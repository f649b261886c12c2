/*
 * A C99 caller of the installed RC file store: every public operation once,
 * the file checked byte for byte.  argv[1] is a scratch directory.
 */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <vdl/rcfile.h>

static int failures;

static void check(int ok, const char *what)
{
    if (!ok) {
        fprintf(stderr, "rcfile_c99: %s\n", what);
        ++failures;
    }
}

static int file_is(const char *path, const char *want)
{
    char buf[256];
    size_t n;
    FILE *f = fopen(path, "rb");

    if (!f)
        return 0;
    n = fread(buf, 1, sizeof buf, f);
    fclose(f);
    return n == strlen(want) && memcmp(buf, want, n) == 0;
}

int main(int argc, char **argv)
{
    char path[512];
    char value[VDL_RC_VALUE_SIZE] = "untouched";
    char text[] = " \tblanks around\t ";
    int32_t r;

    if (argc != 2 || snprintf(path, sizeof path, "%s/rc", argv[1]) >= (int)sizeof path)
        return 2;

    r = vdlSetRCFileValue(path, "Audio", "DSP", "/dev/dsp");
    check(r == 1, "creating the file");
    check(file_is(path, "[Audio]\nDSP=/dev/dsp\n"), "content of the new file");

    r = vdlSetRCFileValue(path, "Audio", "Mixer", " on ");
    check(r == 1, "adding an entry");
    r = vdlSetRCFileValue(path, "Audio", "DSP", "/dev/dsp1");
    check(r == 1, "replacing a value");
    check(file_is(path, "[Audio]\nDSP=/dev/dsp1\nMixer= on \n"), "content after edits");

    r = vdlGetRCFileValue(path, "Audio", "Missing", value);
    check(r == 0 && strcmp(value, "untouched") == 0, "looking up a missing key");
    r = vdlGetRCFileValue(path, "Audio", "Mixer", value);
    check(r == 1 && strcmp(value, "on") == 0, "looking up a trimmed value");

    check(vdlSpaceCut(text) == 1 && strcmp(text, "blanks around") == 0, "trimming");

    if (failures == 0)
        printf("rcfile_c99: all checks passed\n");
    return failures == 0 ? 0 : 1;
}
