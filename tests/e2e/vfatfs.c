// A small FUSE volume with FAT's 8.3 short names, so that Wine shows them to the program and
// its case-only renames really reach a file system.
//
//   vfatfs MOUNTPOINT TREE LOG
//
// TREE describes the volume, one entry a line, fields separated by tabs:
//   KIND PATH [SHORT [FLAGS [TARGET]]]
// KIND is d (directory), f (file) or l (symbolic link to TARGET); PATH is relative, with '/'
// between names; SHORT, when not empty, is the entry's short name as it stands, whatever the
// rules below would make of it (so a tree can hold pairs that FAT itself would never write,
// or names that collide); FLAGS "refuse" makes every rename of the entry fail with EACCES,
// "fail=N,M" only its Nth and Mth rename (counted from 1), so that a rename in steps can fail
// at the step a test chooses.
// LOG receives "mounted" once the volume is up, one line a rename ("rename\tOLD\tNEW"), one
// for each kind of short-name request seen ("ioctl\tBYTES\tFLAGS"), and the count of renames
// when it is unmounted. The volume runs in the foreground until SIGTERM or SIGINT, then
// unmounts.
//
// What Wine 8 needs from it, and why:
// - Wine reads short names only through VFAT_IOCTL_READDIR_BOTH (<linux/msdos_fs.h>:
//   _IOR('r', 1, struct __fat_dirent[2])) on a directory's descriptor: entry 0 holds the
//   short name, entry 1 the long one, which is empty when the name is itself an 8.3 name. A
//   directory that refuses the ioctl (ENOTTY) has no short names. _SHORT (nr 2) is the same
//   with entry 1 left empty.
// - FUSE passes ioctls on directories on only when the init reply asks for them
//   (FUSE_CAP_IOCTL_DIR, kernel protocol 7.18 or later).
// - struct __fat_dirent is 280 bytes for a 64-bit caller and 268 for a 32-bit one, and the
//   size is part of the command number. A native 32-bit Wine's request arrives in the compat
//   form (FUSE_IOCTL_COMPAT); under qemu it arrives in the 64-bit form. Both are answered.
// - The kernel never tells a FUSE file system about lseek on a directory, so the ioctl's
//   cursor lives here, per open handle, from 0. Wine reads until a result of 0 with an empty
//   d_reclen and then starts over, so the end also rewinds the cursor.
// - Wine's server performs renames, and when the new name of a case-only rename resolves to
//   the same file it skips the rename() as done. So its lookups (the request's pid, whose
//   /proc/PID/comm is "wineserver", or Debian's "wineserver64") match names exactly, and
//   every other process's match without regard to case, as on FAT; entries, attributes and
//   misses are never cached, so one process's lookup is never reused for another. Case folds
//   for every letter, not only ASCII: were «CAFÉ.TXT» not found, Wine would scan the
//   directory itself, map the name back onto «café.txt», and skip that rename too. A lookup
//   prefers an exact match, so a directory may hold two names that differ only in case, as a
//   case-sensitive one can. The price: Wine's client keeps a name as typed once it is found,
//   and the server then opens it exactly, so a directory typed in another case than its own
//   («E:\PHOTOS\» for «E:\Photos») does not open (error 123).
// - Short names as FAT makes them (Linux's driver mounted shortname=winnt and Windows NT
//   alike): an ASCII 8.3 name whose base and extension are each in one case is stored without
//   a long name; any other name gets its 8.3 form, upper case in code page 437 («résumé.txt»:
//   «RÉSUMÉ.TXT», with a long name even when it is spelled so), when nothing had to be left
//   out or replaced, else BASIS~N.EXT («.profile»: «PROFIL~1»); names collide without regard
//   to case. A rename computes the short name afresh, so after a rename to its short name an
//   ASCII entry has no separate one.
#define FUSE_USE_VERSION 35
#include <fuse_lowlevel.h>

#include <ctype.h>
#include <errno.h>
#include <linux/ioctl.h>
#include <linux/msdos_fs.h>
#include <locale.h>
#include <stdarg.h>
#include <stdbool.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <wchar.h>
#include <wctype.h>

struct node {
    char *name;
    char shortname[36]; // UTF-8, valid only with haslong
    bool haslong;       // false: the name is itself the 8.3 name
    bool refuse;
    unsigned failing, renamed; // the renames that fail, one bit each; renames tried so far
    mode_t mode;
    fuse_ino_t parent; // 0 once removed
    fuse_ino_t *children;
    size_t count, room;
    char *data; // a file's contents or a link's target
    size_t size;
};

static struct node *nodes;
static size_t nodecount = 2, noderoom; // node 1 is the root; 0 means none
static FILE *logfile;
static time_t started;
static unsigned long renames;

// The 32-bit caller's struct __fat_dirent: long and off_t are 4 bytes there.
struct dirent32 {
    int32_t d_ino, d_off;
    uint16_t d_reclen;
    char d_name[256];
};
_Static_assert(sizeof(struct __fat_dirent) == 280, "64-bit __fat_dirent");
_Static_assert(sizeof(struct dirent32) == 268, "32-bit __fat_dirent");

static void logline(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vfprintf(logfile, format, args);
    va_end(args);
    fflush(logfile);
}

static void *grow(void *block, size_t bytes)
{
    block = realloc(block, bytes);
    if (!block)
        abort();
    return block;
}

// Upper-cases every letter of a UTF-8 name into a wide string of at most room units.
static size_t fold(const char *name, wchar_t *out, size_t room)
{
    mbstate_t state = {0};
    size_t n = mbsrtowcs(out, &name, room - 1, &state);
    if (n == (size_t)-1)
        n = 0; // not UTF-8: never equal to anything folded
    out[n] = 0;
    for (size_t i = 0; i < n; ++i)
        out[i] = towupper(out[i]);
    return n;
}

static bool same_folded(const char *a, const char *b)
{
    wchar_t x[256], y[256];
    fold(a, x, 256);
    fold(b, y, 256);
    return wcscmp(x, y) == 0;
}

static bool is_wineserver(fuse_req_t req)
{
    char path[64], comm[32] = "";
    snprintf(path, sizeof path, "/proc/%d/comm", (int)fuse_req_ctx(req)->pid);
    FILE *f = fopen(path, "r");
    if (!f)
        return false;
    bool server = fgets(comm, sizeof comm, f) && strncmp(comm, "wineserver", 10) == 0;
    fclose(f);
    return server;
}

// The child of dir called name: an exact match first, then, unless exact, one that differs
// only in case.
static fuse_ino_t child(fuse_ino_t dir, const char *name, bool exact)
{
    struct node *d = &nodes[dir];
    for (size_t i = 0; i < d->count; ++i)
        if (strcmp(nodes[d->children[i]].name, name) == 0)
            return d->children[i];
    for (size_t i = 0; !exact && i < d->count; ++i)
        if (same_folded(nodes[d->children[i]].name, name))
            return d->children[i];
    return 0;
}

static bool valid83_char(wchar_t c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           (c && c < 0x80 && strchr("$%'-_@~`!(){}^#&", (int)c));
}

// Code page 437 from 0x80 up, the characters a short name may hold beyond ASCII.
static const wchar_t cp437[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7,
    0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192,
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA,
    0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556,
    0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567,
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229,
    0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};

static bool in_cp437(wchar_t c)
{
    for (size_t i = 0; i < 128; ++i)
        if (cp437[i] == c)
            return true;
    return false;
}

// c as a short name holds it: upper case where code page 437 has the upper-case form, else
// as it is; 0 where the code page lacks it, or for one of "+,;=[]" (both become '_').
static wchar_t short_char(wchar_t c)
{
    if (c < 0x80)
        return valid83_char(c) ? (wchar_t)toupper((int)c) : 0;
    wchar_t upper = (wchar_t)towupper((wint_t)c);
    return in_cp437(upper) ? upper : in_cp437(c) ? c : 0;
}

// Forms name's 8.3 parts as FAT does (Linux's driver and Windows NT alike): each character
// through short_char; spaces and dots left out of the base; the extension after the last dot,
// unless only dots and spaces come before it («.profile» is all base). Returns whether the
// name fits 8.3 as it is: nothing left out or replaced, base 1 to 8 and extension up to 3
// characters. *plain tells whether, beyond that, it is ASCII with base and extension each in
// one case, the names stored without a long name.
static bool form83(const char *name, wchar_t base[9], wchar_t ext[4], bool *plain)
{
    wchar_t w[256];
    mbstate_t state = {0};
    const char *from = name;
    size_t n = mbsrtowcs(w, &from, 255, &state);
    if (n == (size_t)-1) // not UTF-8: every byte a character no code page holds
        for (n = 0; name[n] && n < 255; ++n)
            w[n] = 0xDC00 + (unsigned char)name[n];
    size_t dot = n, b = 0, x = 0;
    for (size_t i = n; i-- > 0 && dot == n;)
        if (w[i] == '.')
            dot = i;
    bool only_skipped = true;
    for (size_t i = 0; i < dot && dot < n; ++i)
        only_skipped &= w[i] == '.' || w[i] == ' ';
    if (dot == n - 1 || only_skipped)
        dot = n;
    bool fits = true, ascii = true, upper[2] = {false, false}, lower[2] = {false, false};
    for (size_t i = 0; i < n; ++i) {
        int part = i > dot;
        if (i == dot)
            continue;
        if (w[i] == ' ' || (w[i] == '.' && !part)) {
            fits = false;
            continue;
        }
        wchar_t c = short_char(w[i]);
        fits &= c != 0;
        ascii &= w[i] < 0x80;
        upper[part] |= w[i] >= 'A' && w[i] <= 'Z';
        lower[part] |= w[i] >= 'a' && w[i] <= 'z';
        if (part ? x == 3 : b == 8)
            fits = false;
        else if (part)
            ext[x++] = c ? c : '_';
        else
            base[b++] = c ? c : '_';
    }
    base[b] = ext[x] = 0;
    fits &= b > 0;
    *plain = fits && ascii && !(upper[0] && lower[0]) && !(upper[1] && lower[1]);
    return fits;
}

// The short name of base, tail and extension, in UTF-8.
static void compose(char *out, size_t room, const wchar_t *base, size_t keep, const char *tail,
                    const wchar_t *ext)
{
    wchar_t text[24];
    swprintf(text, 24, L"%.*ls%s%ls%ls", (int)keep, base, tail, *ext ? L"." : L"", ext);
    mbstate_t state = {0};
    const wchar_t *from = text;
    wcsrtombs(out, &from, room, &state);
}

// Whether a sibling of self in dir already has candidate as its long or short name.
static bool taken(fuse_ino_t dir, fuse_ino_t self, const char *candidate)
{
    struct node *d = &nodes[dir];
    for (size_t i = 0; i < d->count; ++i) {
        struct node *s = &nodes[d->children[i]];
        if (d->children[i] != self &&
            (same_folded(s->name, candidate) || (s->haslong && same_folded(s->shortname, candidate))))
            return true;
    }
    return false;
}

// Gives node n in dir the short name FAT would: the name itself when plain, else its 8.3
// form when it fits and is free, else BASIS~N.EXT.
static void make_short(fuse_ino_t dir, fuse_ino_t n)
{
    struct node *e = &nodes[n];
    wchar_t base[9], ext[4];
    bool plain, fits = form83(e->name, base, ext, &plain);
    e->haslong = !plain;
    if (plain)
        return;
    if (fits) {
        compose(e->shortname, sizeof e->shortname, base, 8, "", ext);
        if (!taken(dir, n, e->shortname))
            return;
    }
    if (!*base)
        wcscpy(base, L"_");
    for (unsigned number = 1; number < 1000000; ++number) {
        char tail[9];
        size_t t = (size_t)snprintf(tail, sizeof tail, "~%u", number), b = wcslen(base);
        compose(e->shortname, sizeof e->shortname, base, b + t > 8 ? 8 - t : b, tail, ext);
        if (!taken(dir, n, e->shortname))
            return;
    }
    abort();
}

static void attach(fuse_ino_t dir, fuse_ino_t n)
{
    struct node *d = &nodes[dir];
    if (d->count == d->room)
        d->children = grow(d->children, (d->room = d->room * 2 + 8) * sizeof *d->children);
    d->children[d->count++] = n;
    nodes[n].parent = dir;
}

static void detach(fuse_ino_t n)
{
    struct node *d = &nodes[nodes[n].parent];
    for (size_t i = 0; i < d->count; ++i)
        if (d->children[i] == n) {
            memmove(&d->children[i], &d->children[i + 1], (--d->count - i) * sizeof *d->children);
            break;
        }
    nodes[n].parent = 0;
}

static fuse_ino_t add(fuse_ino_t dir, const char *name, mode_t mode, const char *shortname)
{
    if (nodecount == noderoom)
        nodes = grow(nodes, (noderoom *= 2) * sizeof *nodes);
    fuse_ino_t n = nodecount++;
    memset(&nodes[n], 0, sizeof nodes[n]);
    nodes[n].name = strdup(name);
    nodes[n].mode = mode;
    attach(dir, n);
    if (shortname && *shortname) {
        nodes[n].haslong = strcmp(shortname, name) != 0;
        snprintf(nodes[n].shortname, sizeof nodes[n].shortname, "%s", shortname);
    } else {
        make_short(dir, n);
    }
    return n;
}

// The full path of n below the mount, for the log.
static void path_of(fuse_ino_t n, char *out, size_t room)
{
    if (n == 1 || n == 0) {
        snprintf(out, room, "%s", n ? "" : "?");
        return;
    }
    path_of(nodes[n].parent, out, room);
    size_t used = strlen(out);
    snprintf(out + used, room - used, "%s%s", used ? "/" : "", nodes[n].name);
}

static void load(const char *tree)
{
    FILE *f = fopen(tree, "r");
    if (!f) {
        perror(tree);
        exit(1);
    }
    char line[8192];
    while (fgets(line, sizeof line, f)) {
        line[strcspn(line, "\n")] = 0;
        char *field[5] = {0}, *rest = line;
        for (int i = 0; i < 5 && rest; ++i) {
            field[i] = rest;
            rest = strchr(rest, '\t');
            if (rest)
                *rest++ = 0;
        }
        if (!field[1] || !*field[0])
            continue;
        fuse_ino_t dir = 1;
        char *name = field[1], *slash;
        while ((slash = strchr(name, '/'))) {
            *slash = 0;
            dir = child(dir, name, true);
            if (!dir || !S_ISDIR(nodes[dir].mode)) {
                fprintf(stderr, "%s: no directory for %s\n", tree, slash + 1);
                exit(1);
            }
            name = slash + 1;
        }
        mode_t mode = *field[0] == 'd' ? S_IFDIR | 0755 : *field[0] == 'l' ? S_IFLNK | 0777
                                                                            : S_IFREG | 0644;
        fuse_ino_t n = add(dir, name, mode, field[2]);
        nodes[n].refuse = field[3] && strstr(field[3], "refuse");
        const char *fail = field[3] ? strstr(field[3], "fail=") : NULL;
        for (char *end; fail; fail = *end == ',' ? end : NULL) {
            unsigned long nth = strtoul(fail + (*fail == ',' ? 1 : 5), &end, 10);
            nodes[n].failing |= nth < 32 ? 1u << nth : 0;
        }
        if (S_ISLNK(mode)) {
            nodes[n].data = strdup(field[4] ? field[4] : "");
            nodes[n].size = strlen(nodes[n].data);
        }
    }
    fclose(f);
}

static void stat_of(fuse_ino_t n, struct stat *st)
{
    memset(st, 0, sizeof *st);
    st->st_ino = n;
    st->st_mode = nodes[n].mode;
    st->st_nlink = S_ISDIR(nodes[n].mode) ? 2 : 1;
    st->st_size = (off_t)nodes[n].size;
    st->st_blocks = (blkcnt_t)(nodes[n].size + 511) / 512;
    st->st_atime = st->st_mtime = st->st_ctime = started;
}

static void reply_entry(fuse_req_t req, fuse_ino_t n)
{
    struct fuse_entry_param e;
    memset(&e, 0, sizeof e); // zero timeouts: nothing cached, a miss included (ino 0)
    if (n) {
        e.ino = n;
        stat_of(n, &e.attr);
    }
    fuse_reply_entry(req, &e);
}

static void op_init(void *data, struct fuse_conn_info *conn)
{
    (void)data;
    if (conn->capable & FUSE_CAP_IOCTL_DIR)
        conn->want |= FUSE_CAP_IOCTL_DIR;
    logline("mounted\n");
}

static void op_lookup(fuse_req_t req, fuse_ino_t parent, const char *name)
{
    reply_entry(req, child(parent, name, is_wineserver(req)));
}

static void op_forget(fuse_req_t req, fuse_ino_t ino, uint64_t nlookup)
{
    (void)ino, (void)nlookup; // nodes live as long as the volume
    fuse_reply_none(req);
}

static void op_getattr(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info *fi)
{
    (void)fi;
    struct stat st;
    stat_of(ino, &st);
    fuse_reply_attr(req, &st, 0);
}

static void op_setattr(fuse_req_t req, fuse_ino_t ino, struct stat *attr, int set,
                       struct fuse_file_info *fi)
{
    (void)fi;
    struct node *e = &nodes[ino];
    if ((set & FUSE_SET_ATTR_SIZE) && S_ISREG(e->mode)) {
        e->data = grow(e->data, (size_t)attr->st_size + 1);
        if ((size_t)attr->st_size > e->size)
            memset(e->data + e->size, 0, (size_t)attr->st_size - e->size);
        e->size = (size_t)attr->st_size;
    }
    op_getattr(req, ino, NULL); // times and modes are fixed
}

static void op_readlink(fuse_req_t req, fuse_ino_t ino)
{
    fuse_reply_readlink(req, nodes[ino].data ? nodes[ino].data : "");
}

static void make(fuse_req_t req, fuse_ino_t parent, const char *name, mode_t mode,
                 const char *target, struct fuse_file_info *fi)
{
    if (strlen(name) > 255) {
        fuse_reply_err(req, ENAMETOOLONG);
        return;
    }
    if (child(parent, name, false)) {
        fuse_reply_err(req, EEXIST);
        return;
    }
    fuse_ino_t n = add(parent, name, mode, NULL);
    if (target) {
        nodes[n].data = strdup(target);
        nodes[n].size = strlen(target);
    }
    if (fi) {
        struct fuse_entry_param e;
        memset(&e, 0, sizeof e);
        e.ino = n;
        stat_of(n, &e.attr);
        fuse_reply_create(req, &e, fi);
    } else {
        reply_entry(req, n);
    }
}

static void op_mkdir(fuse_req_t req, fuse_ino_t parent, const char *name, mode_t mode)
{
    (void)mode;
    make(req, parent, name, S_IFDIR | 0755, NULL, NULL);
}

static void op_symlink(fuse_req_t req, const char *target, fuse_ino_t parent, const char *name)
{
    make(req, parent, name, S_IFLNK | 0777, target, NULL);
}

static void op_create(fuse_req_t req, fuse_ino_t parent, const char *name, mode_t mode,
                      struct fuse_file_info *fi)
{
    (void)mode;
    make(req, parent, name, S_IFREG | 0644, NULL, fi);
}

static void remove_entry(fuse_req_t req, fuse_ino_t parent, const char *name, bool directory)
{
    fuse_ino_t n = child(parent, name, false);
    if (!n)
        fuse_reply_err(req, ENOENT);
    else if (directory != S_ISDIR(nodes[n].mode))
        fuse_reply_err(req, directory ? ENOTDIR : EISDIR);
    else if (directory && nodes[n].count)
        fuse_reply_err(req, ENOTEMPTY);
    else {
        detach(n);
        fuse_reply_err(req, 0);
    }
}

static void op_unlink(fuse_req_t req, fuse_ino_t parent, const char *name)
{
    remove_entry(req, parent, name, false);
}

static void op_rmdir(fuse_req_t req, fuse_ino_t parent, const char *name)
{
    remove_entry(req, parent, name, true);
}

static void op_rename(fuse_req_t req, fuse_ino_t parent, const char *name, fuse_ino_t newparent,
                      const char *newname, unsigned int flags)
{
    fuse_ino_t n = child(parent, name, false);
    fuse_ino_t old = child(newparent, newname, is_wineserver(req));
    if (!n) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    bool refused = nodes[n].refuse || (nodes[n].failing >> ++nodes[n].renamed & 1);
    if (refused || (flags & RENAME_EXCHANGE)) {
        fuse_reply_err(req, refused ? EACCES : EINVAL);
        return;
    }
    if (strlen(newname) > 255) {
        fuse_reply_err(req, ENAMETOOLONG);
        return;
    }
    if (old && old != n) {
        if (flags & RENAME_NOREPLACE) {
            fuse_reply_err(req, EEXIST);
            return;
        }
        if (S_ISDIR(nodes[old].mode) && nodes[old].count) {
            fuse_reply_err(req, ENOTEMPTY);
            return;
        }
        detach(old);
    }
    if (old == n && newparent == parent && strcmp(nodes[n].name, newname) == 0) {
        fuse_reply_err(req, 0); // the name it has: nothing to do
        return;
    }
    char from[4096], to[4096];
    path_of(n, from, sizeof from);
    if (newparent != parent) { // within a directory an entry keeps its place, as on FAT
        detach(n);
        attach(newparent, n);
    }
    free(nodes[n].name);
    nodes[n].name = strdup(newname);
    make_short(newparent, n);
    path_of(n, to, sizeof to);
    logline("rename\t%s\t%s\n", from, to);
    ++renames;
    fuse_reply_err(req, 0);
}

// An open directory: the children as they were when its listing last started from the top,
// and the short-name cursor.
struct listing {
    fuse_ino_t *children;
    size_t count, cursor;
};

static void snapshot(fuse_ino_t dir, struct listing *l)
{
    struct node *d = &nodes[dir];
    l->children = grow(l->children, (d->count + 1) * sizeof *l->children);
    memcpy(l->children, d->children, d->count * sizeof *l->children);
    l->count = d->count;
}

static void op_opendir(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info *fi)
{
    struct listing *l = calloc(1, sizeof *l);
    if (!l)
        abort();
    snapshot(ino, l);
    fi->fh = (uint64_t)(uintptr_t)l;
    fuse_reply_open(req, fi);
}

static void op_releasedir(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info *fi)
{
    (void)ino;
    struct listing *l = (struct listing *)(uintptr_t)fi->fh;
    free(l->children);
    free(l);
    fuse_reply_err(req, 0);
}

// Position k of a listing: 0 and 1 are "." and "..", then the children still in dir.
static const char *listed(fuse_ino_t dir, struct listing *l, size_t k, fuse_ino_t *n)
{
    if (k < 2) {
        *n = k == 0 ? dir : nodes[dir].parent ? nodes[dir].parent : 1;
        return k == 0 ? "." : "..";
    }
    *n = k - 2 < l->count ? l->children[k - 2] : 0;
    return *n && nodes[*n].parent == dir ? nodes[*n].name : NULL;
}

static void op_readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset,
                       struct fuse_file_info *fi)
{
    struct listing *l = (struct listing *)(uintptr_t)fi->fh;
    if (offset == 0)
        snapshot(ino, l);
    char *buffer = grow(NULL, size);
    size_t used = 0;
    for (size_t k = (size_t)offset; k < l->count + 2; ++k) {
        fuse_ino_t n;
        const char *name = listed(ino, l, k, &n);
        if (!name)
            continue; // gone since the listing started
        struct stat st;
        stat_of(n, &st);
        size_t need = fuse_add_direntry(req, buffer + used, size - used, name, &st, (off_t)k + 1);
        if (need > size - used)
            break;
        used += need;
    }
    fuse_reply_buf(req, buffer, used);
    free(buffer);
}

static void put_dirent(void *out, bool wide, size_t index, fuse_ino_t n, size_t k,
                       const char *name)
{
    size_t length = name ? strlen(name) : 0;
    if (wide) {
        struct __fat_dirent *d = (struct __fat_dirent *)out + index;
        d->d_ino = (long)n, d->d_off = (__kernel_off_t)k, d->d_reclen = (unsigned short)length;
        memcpy(d->d_name, name ? name : "", length + 1);
    } else {
        struct dirent32 *d = (struct dirent32 *)out + index;
        d->d_ino = (int32_t)n, d->d_off = (int32_t)k, d->d_reclen = (uint16_t)length;
        memcpy(d->d_name, name ? name : "", length + 1);
    }
}

static void op_ioctl(fuse_req_t req, fuse_ino_t ino, unsigned int cmd, void *arg,
                     struct fuse_file_info *fi, unsigned flags, const void *in, size_t insize,
                     size_t outsize)
{
    (void)arg, (void)in, (void)insize;
    static unsigned seen[2][2];
    bool wide = _IOC_SIZE(cmd) == 2 * sizeof(struct __fat_dirent);
    unsigned nr = _IOC_NR(cmd);
    if (!(flags & FUSE_IOCTL_DIR) || _IOC_TYPE(cmd) != 'r' || (nr != 1 && nr != 2) ||
        _IOC_DIR(cmd) != _IOC_READ ||
        (!wide && _IOC_SIZE(cmd) != 2 * sizeof(struct dirent32)) || outsize < (size_t)_IOC_SIZE(cmd)) {
        fuse_reply_err(req, ENOTTY);
        return;
    }
    if (!seen[wide][(flags & FUSE_IOCTL_COMPAT) != 0]++)
        logline("ioctl\t%u\t%s\n", _IOC_SIZE(cmd) / 2,
                flags & FUSE_IOCTL_COMPAT ? "compat" : "native");

    struct listing *l = (struct listing *)(uintptr_t)fi->fh;
    if (l->cursor == 0)
        snapshot(ino, l);
    char out[2 * sizeof(struct __fat_dirent)];
    memset(out, 0, sizeof out);
    int result = 0;
    for (; l->cursor < l->count + 2; ++l->cursor) {
        fuse_ino_t n;
        const char *name = listed(ino, l, l->cursor, &n);
        if (!name)
            continue;
        struct node *e = &nodes[n];
        bool pair = l->cursor >= 2 && e->haslong;
        put_dirent(out, wide, 0, n, l->cursor + 1, pair ? e->shortname : name);
        put_dirent(out, wide, 1, n, l->cursor + 1, pair && nr == 1 ? name : NULL);
        ++l->cursor;
        result = 1;
        break;
    }
    if (!result)
        l->cursor = 0; // the end: the next request starts over
    fuse_reply_ioctl(req, result, out, _IOC_SIZE(cmd));
}

static void op_open(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info *fi)
{
    if ((fi->flags & O_TRUNC) && S_ISREG(nodes[ino].mode))
        nodes[ino].size = 0;
    fuse_reply_open(req, fi);
}

static void op_read(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset,
                    struct fuse_file_info *fi)
{
    (void)fi;
    struct node *e = &nodes[ino];
    size_t from = (size_t)offset < e->size ? (size_t)offset : e->size;
    if (from == e->size)
        fuse_reply_buf(req, NULL, 0);
    else
        fuse_reply_buf(req, e->data + from, e->size - from < size ? e->size - from : size);
}

static void op_write(fuse_req_t req, fuse_ino_t ino, const char *buf, size_t size, off_t offset,
                     struct fuse_file_info *fi)
{
    (void)fi;
    struct node *e = &nodes[ino];
    size_t end = (size_t)offset + size;
    if (end > e->size) {
        e->data = grow(e->data, end);
        memset(e->data + e->size, 0, (size_t)offset > e->size ? (size_t)offset - e->size : 0);
        e->size = end;
    }
    memcpy(e->data + offset, buf, size);
    fuse_reply_write(req, size);
}

static const struct fuse_lowlevel_ops ops = {
    .init = op_init,
    .lookup = op_lookup,
    .forget = op_forget,
    .getattr = op_getattr,
    .setattr = op_setattr,
    .readlink = op_readlink,
    .mkdir = op_mkdir,
    .unlink = op_unlink,
    .rmdir = op_rmdir,
    .symlink = op_symlink,
    .rename = op_rename,
    .open = op_open,
    .read = op_read,
    .write = op_write,
    .opendir = op_opendir,
    .readdir = op_readdir,
    .releasedir = op_releasedir,
    .create = op_create,
    .ioctl = op_ioctl,
};

int main(int argc, char **argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: vfatfs MOUNTPOINT TREE LOG\n");
        return 2;
    }
    setlocale(LC_CTYPE, "C.UTF-8"); // towupper folds every letter
    started = time(NULL);
    nodes = grow(NULL, (noderoom = 1024) * sizeof *nodes);
    memset(nodes, 0, 2 * sizeof *nodes);
    nodes[1].name = strdup("");
    nodes[1].mode = S_IFDIR | 0755;
    load(argv[2]);
    logfile = fopen(argv[3], "w");
    if (!logfile) {
        perror(argv[3]);
        return 1;
    }

    char *options[] = {argv[0], "-o", "fsname=vfatfs,subtype=vfatfs", NULL};
    struct fuse_args args = FUSE_ARGS_INIT(3, options);
    struct fuse_session *se = fuse_session_new(&args, &ops, sizeof ops, NULL);
    if (!se)
        return 1;
    int status = 1;
    if (fuse_set_signal_handlers(se) == 0) {
        if (fuse_session_mount(se, argv[1]) == 0) {
            status = fuse_session_loop(se) ? 1 : 0;
            fuse_session_unmount(se);
            logline("unmounted\t%lu renames\n", renames);
        }
        fuse_remove_signal_handlers(se);
    }
    fuse_session_destroy(se);
    return status;
}
