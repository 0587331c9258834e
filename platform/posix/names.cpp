// Named file mappings over read-only files of the runtime directory, and
// wsprintfA.
//
// A mapping handle is a small record holding the open file; a view is an
// mmap of that file. Both are kept on lists under one mutex, so that a
// handle or base address that this family did not give out is recognised
// and refused instead of being dereferenced.
#include "platform/posix/names.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "platform/posix/rundir.h"

namespace {

struct Mapping {
  Mapping *next;  // link in the open-mapping list
  int fd;         // the regular file, read-only
};

struct View {
  View *next;     // link in the view list
  void *base;     // as returned by mmap
  size_t length;  // bytes, the object's size when mapped
};

std::mutex listLock;           // guards both lists
Mapping *openMappings = nullptr;
View *liveViews = nullptr;
long viewCount = 0;            // views on liveViews

// A name is one path component of printable characters.
bool mappingNameValid(const char *name) {
  if (!name || !name[0] || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
    return false;
  }
  size_t n = 0;
  for (; name[n]; ++n) {
    unsigned char c = static_cast<unsigned char>(name[n]);
    if (n >= LV_MAPPING_NAME_MAX || c <= ' ' || c >= 0x7F || c == '/' || c == '\\') return false;
  }
  return true;
}

// Unlinks and returns the mapping if handle is on the open list.
Mapping *takeMapping(HANDLE handle) {
  for (Mapping **link = &openMappings; *link; link = &(*link)->next) {
    if (*link == handle) {
      Mapping *m = *link;
      *link = m->next;
      return m;
    }
  }
  return nullptr;
}

bool mappingOpen(HANDLE handle) {
  for (Mapping *m = openMappings; m; m = m->next) {
    if (m == handle) return true;
  }
  return false;
}

}  // namespace

HANDLE OpenFileMappingA(DWORD desiredAccess, BOOL, LPCSTR name) {
  if (desiredAccess != FILE_MAP_READ || !mappingNameValid(name)) return nullptr;
  char relative[LV_MAPPING_NAME_MAX + 16];
  std::snprintf(relative, sizeof relative, "mappings/%s", name);
  char path[LV_RUNDIR_PATH_MAX];
  if (!lvRuntimePath(relative, path, sizeof path)) return nullptr;
  // O_NOFOLLOW: the directory is private, but a link inside it could still
  // point a view at any file the user can read.
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return nullptr;
  struct stat info;
  Mapping *m = nullptr;
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) m = new (std::nothrow) Mapping{nullptr, fd};
  if (!m) {
    close(fd);
    return nullptr;
  }
  std::lock_guard<std::mutex> hold(listLock);
  m->next = openMappings;
  openMappings = m;
  return m;
}

LPVOID MapViewOfFile(HANDLE mapping, DWORD desiredAccess, DWORD offsetHigh, DWORD offsetLow,
                     SIZE_T bytes) {
  if (desiredAccess != FILE_MAP_READ || offsetHigh != 0 || offsetLow != 0) return nullptr;
  std::lock_guard<std::mutex> hold(listLock);
  if (!mappingOpen(mapping)) return nullptr;
  struct stat info;
  if (fstat(static_cast<Mapping *>(mapping)->fd, &info) != 0 || info.st_size <= 0) return nullptr;
  size_t length = size_t(info.st_size);
  if (bytes > length) return nullptr;  // a view cannot extend a read-only object
  if (bytes != 0) length = bytes;
  View *v = new (std::nothrow) View{nullptr, nullptr, length};
  if (!v) return nullptr;
  v->base = mmap(nullptr, length, PROT_READ, MAP_SHARED, static_cast<Mapping *>(mapping)->fd, 0);
  if (v->base == MAP_FAILED) {
    delete v;
    return nullptr;
  }
  v->next = liveViews;
  liveViews = v;
  viewCount += 1;
  return v->base;
}

BOOL UnmapViewOfFile(LPCVOID baseAddress) {
  View *v = nullptr;
  {
    std::lock_guard<std::mutex> hold(listLock);
    for (View **link = &liveViews; *link; link = &(*link)->next) {
      if ((*link)->base == baseAddress) {
        v = *link;
        *link = v->next;
        viewCount -= 1;
        break;
      }
    }
  }
  if (!v) return FALSE;
  munmap(v->base, v->length);
  delete v;
  return TRUE;
}

SIZE_T VirtualQuery(LPCVOID address, PMEMORY_BASIC_INFORMATION info, SIZE_T length) {
  if (!info || length < sizeof *info) return 0;
  const char *at = static_cast<const char *>(address);
  std::lock_guard<std::mutex> hold(listLock);
  for (View *v = liveViews; v; v = v->next) {
    const char *base = static_cast<const char *>(v->base);
    if (at >= base && at < base + v->length) {
      std::memset(info, 0, sizeof *info);
      info->BaseAddress = const_cast<char *>(at);
      info->AllocationBase = v->base;
      info->AllocationProtect = PAGE_READONLY;
      info->RegionSize = SIZE_T(base + v->length - at);
      info->State = MEM_COMMIT;
      info->Protect = PAGE_READONLY;
      info->Type = MEM_MAPPED;
      return sizeof *info;
    }
  }
  return 0;
}

BOOL lvMappingClose(HANDLE handle) {
  Mapping *m;
  {
    std::lock_guard<std::mutex> hold(listLock);
    m = takeMapping(handle);
  }
  if (!m) return FALSE;
  close(m->fd);
  delete m;
  return TRUE;
}

long lvMappingViewsLive(void) {
  std::lock_guard<std::mutex> hold(listLock);
  return viewCount;
}

// wsprintfA and wsprintfW: every conversion is parsed here and handed to
// snprintf with an explicit int or unsigned argument, since Windows reads
// "%ld" as 32 bits while a Linux long is 64. The wide version formats the
// same conversions; its %s and %c take wide strings and characters, as
// user32's do.
namespace {

constexpr size_t WSPRINTF_LIMIT = 1024;  // characters with the terminator, as user32's

template <typename Char>
struct Output {
  Char *out;
  size_t used;  // characters stored, terminator excluded; below WSPRINTF_LIMIT
};

template <typename Char, typename From>
void put(Output<Char> &o, const From *text, size_t n) {
  size_t room = WSPRINTF_LIMIT - 1 - o.used;
  if (n > room) n = room;
  for (size_t i = 0; i < n; ++i) o.out[o.used + i] = Char(text[i]);
  o.used += n;
}

template <typename Char>
void pad(Output<Char> &o, size_t n) {
  for (; n > 0; --n) put(o, " ", 1);
}

// A string or character argument, padded to the width by hand, since the
// wide forms cannot go through the narrow snprintf.
template <typename Char>
void putPadded(Output<Char> &o, const Char *text, size_t n, int width, bool left) {
  size_t fill = size_t(width) > n ? size_t(width) - n : 0;
  if (!left) pad(o, fill);
  put(o, text, n);
  if (left) pad(o, fill);
}

template <typename Char>
size_t length(const Char *s) {
  size_t n = 0;
  while (s[n]) ++n;
  return n;
}

// Formats one conversion at *fmt (just after '%'); advances *fmt past it.
// An unknown conversion is copied as it stands.
template <typename Char>
void convert(Output<Char> &o, const Char **fmt, va_list *args) {
  const Char *start = *fmt - 1;
  const Char *p = *fmt;
  char conversion[16] = "%";  // rebuilt: flags, width, type
  size_t n = 1;
  bool left = false;
  while ((*p == '-' || *p == '0') && n < 4) {
    left = left || *p == '-';
    conversion[n++] = char(*p++);
  }
  int width = 0;
  while (*p >= '0' && *p <= '9') width = width * 10 + int(*p++ - '0');
  if (width > 512) width = 512;  // the whole output is 1024 characters anyway
  while (*p == 'l' || *p == 'h') ++p;  // every integer is 32 bits
  Char type = *p;
  char text[WSPRINTF_LIMIT];
  int len = -1;
  n += size_t(std::snprintf(conversion + n, sizeof conversion - n, "%d", width));
  conversion[n++] = (type == 'i') ? 'd' : char(type);
  conversion[n] = 0;
  switch (type) {
    case 'd': case 'i': len = std::snprintf(text, sizeof text, conversion, va_arg(*args, int)); break;
    case 'u': case 'x': case 'X':
      len = std::snprintf(text, sizeof text, conversion, va_arg(*args, unsigned));
      break;
    case 'c': {
      Char c = Char(va_arg(*args, int));
      putPadded(o, &c, 1, width, left);
      *fmt = p + 1;
      return;
    }
    case 's': {
      static const Char NULL_TEXT[] = {'(', 'n', 'u', 'l', 'l', ')', 0};
      const Char *s = va_arg(*args, const Char *);
      if (!s) s = NULL_TEXT;
      putPadded(o, s, length(s), width, left);
      *fmt = p + 1;
      return;
    }
    case '%': put(o, "%", 1); *fmt = p + 1; return;
    default: break;
  }
  if (len < 0) {
    put(o, start, size_t(p - start) + (*p ? 1 : 0));
  } else {
    put(o, text, size_t(len) < sizeof text ? size_t(len) : sizeof text - 1);
  }
  *fmt = *p ? p + 1 : p;
}

template <typename Char>
int format(Char *out, const Char *fmt, va_list *args) {
  Output<Char> o{out, 0};
  for (const Char *f = fmt; *f;) {
    if (*f == '%') {
      ++f;
      convert(o, &f, args);
    } else {
      put(o, f++, 1);
    }
  }
  out[o.used] = 0;
  return int(o.used);
}

}  // namespace

int wsprintfA(LPSTR out, LPCSTR fmt, ...) {
  va_list args;
  va_start(args, fmt);
  int n = format(out, fmt, &args);
  va_end(args);
  return n;
}

int wsprintfW(LPWSTR out, LPCWSTR fmt, ...) {
  va_list args;
  va_start(args, fmt);
  int n = format(out, fmt, &args);
  va_end(args);
  return n;
}
