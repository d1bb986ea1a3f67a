/* Formats an NTFS image through the C interface, writes a tree into it, opens
 * it again to read the tree back and checks the volume. Plain C99: it shows
 * what a caller in any language does with volkit.h.
 *
 *   volkit_c_write_tree IMAGE
 *
 * IMAGE must exist; its whole size becomes the volume. The tree, under \tree:
 * docs\readme.txt, docs\a\b\c\deep.txt, a file whose name lies beyond the
 * Basic Multilingual Plane, many\file-000.txt ... many\file-199.txt, and
 * big.bin (4 MiB: the lines "0000000\n" to "0524287\n"). Directories are made
 * through the UTF-16 calls, files through the UTF-8 ones. */
#if !defined(_WIN32)
#define _POSIX_C_SOURCE 200809L /* fseeko */
#endif
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "volkit/volkit.h"

#if defined(_WIN32)
#define SEEK_TO(file, offset) _fseeki64(file, (__int64)(offset), SEEK_SET)
#else
#define SEEK_TO(file, offset) fseeko(file, (off_t)(offset), SEEK_SET)
#endif

/* ---- The image file as a volkit_device --------------------------------- */

static bool VOLKIT_CALL read_at(uint64_t offset, void* buffer, uint32_t length, void* context) {
    FILE* image = (FILE*)context;
    return SEEK_TO(image, offset) == 0 && fread(buffer, 1, length, image) == length;
}

static bool VOLKIT_CALL write_at(uint64_t offset, const void* buffer, uint32_t length, void* context) {
    FILE* image = (FILE*)context;
    return SEEK_TO(image, offset) == 0 && fwrite(buffer, 1, length, image) == length;
}

static bool VOLKIT_CALL size_of(uint64_t* size, void* context) {
    FILE* image = (FILE*)context;
    if (fseek(image, 0, SEEK_END) != 0) return false;
#if defined(_WIN32)
    *size = (uint64_t)_ftelli64(image);
#else
    *size = (uint64_t)ftello(image);
#endif
    return true;
}

/* Error lines go to stderr, except while a failure is expected. */
static bool expecting_failure = false;

static void VOLKIT_CALL print_error(int32_t level, const char* message, void* context) {
    (void)context;
    if (level == VOLKIT_LOG_ERROR && !expecting_failure) fprintf(stderr, "volkit: %s\n", message);
}

/* ---- Names and contents ------------------------------------------------ */

#define BIG_LINES 524288u /* 8 bytes each: 4 MiB */
#define CHUNK 65521u      /* odd-sized writes, across cluster and record boundaries */
#define ODD_TEXT "A name beyond the Basic Multilingual Plane\n"
#define README_TEXT "Written by volkit_c_write_tree\n"

/* U+1F600, "été", "日本": the same name in UTF-8 and in UTF-16. */
static const char odd_utf8[] = "tree\\\xF0\x9F\x98\x80 \xC3\xA9t\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC.txt";
static const uint16_t odd_utf16[] = {'t', 'r', 'e', 'e', '\\', 0xD83D, 0xDE00, ' ', 0xE9, 't', 0xE9, ' ',
                                     0x65E5, 0x672C, '.', 't', 'x', 't', 0};

/* An ASCII path as UTF-16, into `units` (room for 64). */
static const uint16_t* utf16(const char* ascii, uint16_t* units) {
    size_t i = 0;
    for (; ascii[i] && i < 63; ++i) units[i] = (uint16_t)(unsigned char)ascii[i];
    units[i] = 0;
    return units;
}

static char* big_contents(void) {
    char* text = malloc((size_t)BIG_LINES * 8 + 1);
    unsigned long line;
    if (!text) return NULL;
    for (line = 0; line < BIG_LINES; ++line) sprintf(text + line * 8, "%07lu\n", line);
    return text;
}

/* ---- Writing ----------------------------------------------------------- */

static bool make_dir(volkit_volume* volume, const char* path) {
    uint16_t units[64];
    volkit_dir* dir = NULL;
    return volkit_create_dir(volume, utf16(path, units), &dir) && volkit_close_dir(dir);
}

/* The file grows before each chunk is written: writes stay inside the size. */
static bool make_file(volkit_volume* volume, const char* path, const char* contents, size_t size) {
    volkit_file* file = NULL;
    size_t done = 0;
    bool ok = true;
    if (!volkit_create_file_utf8(volume, path, &file)) return false;
    while (ok && done < size) {
        const uint32_t length = (uint32_t)(size - done < CHUNK ? size - done : CHUNK);
        ok = volkit_set_file_size(file, done + length) && volkit_write_file(file, done, contents + done, length);
        done += length;
    }
    return volkit_close_file(file) && ok;
}

static bool make_text(volkit_volume* volume, const char* path, const char* text) {
    return make_file(volume, path, text, strlen(text));
}

static bool write_tree(volkit_volume* volume, const char* big) {
    static const char* const dirs[] = {"tree", "tree\\docs", "tree\\docs\\a", "tree\\docs\\a\\b",
                                       "tree\\docs\\a\\b\\c", "tree\\many"};
    char name[32], text[8];
    size_t i;
    bool ok = true;
    for (i = 0; ok && i < sizeof dirs / sizeof dirs[0]; ++i) ok = make_dir(volume, dirs[i]);
    ok = ok && make_text(volume, "tree\\docs\\readme.txt", README_TEXT);
    ok = ok && make_text(volume, "tree\\docs\\a\\b\\c\\deep.txt", "deep\n");
    ok = ok && make_text(volume, odd_utf8, ODD_TEXT);
    for (i = 0; ok && i < 200; ++i) {
        sprintf(name, "tree\\many\\file-%03u.txt", (unsigned)i);
        sprintf(text, "%u\n", (unsigned)i);
        ok = make_text(volume, name, text);
    }
    return ok && make_file(volume, "tree\\big.bin", big, (size_t)BIG_LINES * 8);
}

/* ---- Reading back ------------------------------------------------------ */

static bool reads_back(volkit_file* file, const char* expected, size_t size) {
    uint64_t found = 0;
    char* contents = malloc(size);
    bool ok = contents && volkit_get_file_size(file, &found) && found == size &&
              volkit_read_file(file, 0, contents, (uint32_t)size) && memcmp(contents, expected, size) == 0;
    free(contents);
    return volkit_close_file(file) && ok;
}

static bool utf8_reads_back(volkit_volume* volume, const char* path, const char* expected, size_t size) {
    volkit_file* file = NULL;
    return volkit_open_file_utf8(volume, path, &file) && reads_back(file, expected, size);
}

struct listing {
    unsigned names;
    bool saw_first;
};

static bool VOLKIT_CALL count_entry(const volkit_dir_entry* entry, void* context) {
    struct listing* found = (struct listing*)context;
    if (entry->name_space == 2) return true; /* DOS aliases are second names */
    ++found->names;
    if (strcmp(entry->name_utf8, "file-000.txt") == 0 && entry->name[0] == 'f' && entry->data_size == 2 &&
        !entry->is_directory)
        found->saw_first = true;
    return true;
}

static bool check_tree(volkit_volume* volume, const char* big) {
    struct listing found = {0, false};
    volkit_dir* many = NULL;
    volkit_file* odd = NULL;
    uint16_t units[64];
    bool ok = volkit_open_dir(volume, utf16("TREE\\MANY", units), &many) && volkit_enum_dir(many, count_entry, &found);
    if (many) ok = volkit_close_dir(many) && ok;
    ok = ok && found.names == 200 && found.saw_first;
    ok = ok && utf8_reads_back(volume, "tree\\docs\\a\\b\\c\\deep.txt", "deep\n", 5);
    ok = ok && volkit_open_file(volume, odd_utf16, &odd) && reads_back(odd, ODD_TEXT, strlen(ODD_TEXT));
    return ok && utf8_reads_back(volume, "Tree\\Big.bin", big, (size_t)BIG_LINES * 8);
}

/* A name taken already is refused; the reason is the thread's last error
 * until the next call, which clears it. */
static bool refuses_taken_name(volkit_volume* volume) {
    volkit_dir* dir = NULL;
    bool refused, cleared;
    expecting_failure = true;
    refused = !volkit_create_dir_utf8(volume, "TREE", &dir) && dir == NULL &&
              strstr(volkit_last_error(), "already exist") != NULL;
    expecting_failure = false;
    cleared = volkit_open_dir_utf8(volume, "tree", &dir) && volkit_last_error()[0] == '\0';
    if (dir) cleared = volkit_close_dir(dir) && cleared;
    return refused && cleared;
}

static bool on_volume(const volkit_device* device, bool (*step)(volkit_volume*, const char*), const char* big) {
    volkit_volume* volume = NULL;
    bool ok;
    if (!volkit_open_volume(device, &volume)) return false;
    ok = step(volume, big);
    return volkit_close_volume(volume) && ok;
}

/* A second name for readme.txt, which then moves into docs\\a: both names
 * reach one file. */
static bool link_and_move(volkit_volume* volume, const char* big) {
    uint16_t units[64];
    volkit_file* file = NULL;
    uint32_t links = 0;
    bool ok;
    (void)big;
    if (!volkit_open_file_utf8(volume, "tree\\docs\\readme.txt", &file)) return false;
    ok = volkit_create_hard_link(file, utf16("tree\\readme link.txt", units)) && volkit_get_link_count(file, &links) &&
         links == 2;
    ok = volkit_close_file(file) && ok;
    if (!ok || !volkit_open_file_utf8(volume, "tree\\readme link.txt", &file)) return false;
    ok = volkit_move_file_utf8(file, "tree\\docs\\a\\readme link.txt", false);
    ok = volkit_close_file(file) && ok;
    return ok && utf8_reads_back(volume, "tree\\docs\\a\\readme link.txt", README_TEXT, strlen(README_TEXT)) &&
           utf8_reads_back(volume, "tree\\docs\\readme.txt", README_TEXT, strlen(README_TEXT));
}

static bool read_tree(volkit_volume* volume, const char* big) {
    return check_tree(volume, big) && refuses_taken_name(volume);
}

static void VOLKIT_CALL print_problem(const volkit_check_problem* problem, void* context) {
    (void)context;
    fprintf(stderr, "volkit check: %s: %s\n", problem->code, problem->message);
}

static int fail(const char* what) {
    fprintf(stderr, "volkit_c_write_tree: %s\n", what);
    return 1;
}

int main(int argc, char** argv) {
    static const uint16_t label[] = {'C', ' ', 't', 'r', 'e', 'e', 0};
    volkit_format_options options;
    volkit_check_summary summary;
    volkit_device device;
    FILE* image;
    char* big;
    int result = 0;
    if (argc != 2) {
        fprintf(stderr, "usage: volkit_c_write_tree IMAGE\n");
        return 2;
    }
    volkit_set_log_callback(print_error, NULL);
    image = fopen(argv[1], "r+b");
    big = big_contents();
    if (!image || !big) return fail("cannot open the image");
    device.context = image;
    device.read = read_at;
    device.write = write_at;
    device.get_size = size_of;
    memset(&options, 0, sizeof options);
    options.label = label;
    if (!volkit_format_volume(&device, &options)) result = fail("formatting failed");
    else if (!on_volume(&device, write_tree, big)) result = fail("writing the tree failed");
    else if (!on_volume(&device, read_tree, big)) result = fail("the tree does not read back as written");
    else if (!on_volume(&device, link_and_move, big)) result = fail("a second name or its move failed");
    else if (!volkit_check_volume(&device, print_problem, NULL, &summary)) result = fail("the check did not run");
    else if (summary.damage != 0 || summary.leaks != 0 || !summary.complete) result = fail("the check found problems");
    free(big);
    if (fclose(image) != 0 && result == 0) result = fail("closing the image failed");
    if (result == 0) printf("formatted, wrote, read back and checked \\tree\n");
    return result;
}
