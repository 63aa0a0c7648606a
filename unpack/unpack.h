/* unpack: extracts the files of a Microsoft Cabinet file, also one embedded
 * in a larger file, through one callback that decides where each file goes. */
#ifndef VORN_UNPACK_UNPACK_H
#define VORN_UNPACK_UNPACK_H

#include <stdint.h>

#if defined(_WIN32)
#define UNPACK_API __declspec(dllexport)
#define UNPACK_STDCALL __stdcall /* the callee cleans the stack (32-bit Windows) */
#define UNPACK_CDECL __cdecl     /* the caller cleans the stack */
#else
#define UNPACK_API __attribute__((visibility("default")))
#define UNPACK_STDCALL
#define UNPACK_CDECL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Callback codes. */
enum {
  UNPACK_BEFORE_FILE = 1, /* file record: fill targetPath and return 1 to extract */
  UNPACK_AFTER_FILE = 2,  /* file record: written, closed, time and attributes set */
  UNPACK_PROGRESS = 3     /* progress record: a chunk is about to be written; -1 stops */
};

/* Passed with codes 1 and 2. */
typedef struct UnpackFileRecord {
  const char* name;     /* the name as stored in the cabinet */
  uint32_t size;        /* uncompressed size in bytes */
  uint32_t dateTime;    /* DOS date in the upper 16 bits, DOS time in the lower */
  uint32_t attributes;  /* attribute bits as stored (run-after-extraction bit cleared) */
  char targetPath[256]; /* emptied before code 1; the callback fills it in */
} UnpackFileRecord;

/* Passed with code 3. */
typedef struct UnpackProgressRecord {
  const char* name;       /* the name as stored in the cabinet */
  const char* targetPath; /* the file record's target path */
  uint32_t size;          /* the file's uncompressed size */
  uint32_t chunkLength;   /* bytes in this chunk */
  uint32_t written;       /* bytes of this file so far, this chunk included */
  const void* chunk;      /* the chunk's bytes */
} UnpackProgressRecord;

typedef int32_t(UNPACK_STDCALL* UnpackCallback)(int32_t code, void* record);

/* Prepares the cabinet at `path` (at most 255 characters): 1 on success. */
UNPACK_API int32_t UNPACK_STDCALL Open(const char* path);
/* Walks the opened cabinet and the rest of its set: 1 when all of it was processed. */
UNPACK_API int32_t UNPACK_STDCALL Enumerate(UnpackCallback callback);
/* Releases the opened cabinet: always 1. */
UNPACK_API int32_t UNPACK_CDECL Close(void);
/* Library entry point kept for the Windows build: always 1. */
UNPACK_API int32_t UNPACK_STDCALL LibMain(void* module, uint32_t reason, void* reserved);

#ifdef __cplusplus
}
#endif

#endif
