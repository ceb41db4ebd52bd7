/*
 * The C interface of the QMX4 device library, libqmx4-1.5.1.so, as the
 * device access layer calls it. Every function returns 0 on success and an
 * error code otherwise, which KoGetLastErrorText describes; the exceptions
 * are KoGetQmx4VersionString and KoGetLastErrorText itself.
 *
 * Text buffers the library writes are 16384 bytes (QMX4_TEXT_SIZE) and the
 * text ends with a zero byte inside them. Out-values are written only on
 * success. A handle of -1 never names an opened device. Data buffers belong
 * to the caller for the duration of the call; a null pointer comes with
 * length 0.
 *
 * The functions that return a result code are listed once, in
 * QMX4_FUNCTIONS: X(name, parameters, arguments) for each. The header
 * declares them from it, the companion's loader forwards them, and the
 * stand-in takes the names a <fault> may give from it.
 */
#ifndef QMX4API_QMX4_H
#define QMX4API_QMX4_H

#ifdef __cplusplus
extern "C" {
#endif

#define QMX4_TEXT_SIZE 16384

#define QMX4_FUNCTIONS(X)                                                                                   \
    /* Session. */                                                                                          \
    X(KoInit, (void), ())                                                                                   \
    X(KoInitEx, (const char* path), (path))                                                                 \
    X(KoDeInit, (void), ())                                                                                 \
    X(KoSetLogLevel, (int level), (level))                                                                  \
    /* Enumeration and opening; `count` and `handle` are written only on success. */                        \
    X(KoEnumerate, (int type, int* count), (type, count))                                                   \
    X(KoEnumerateInfo, (int index, char* text, int* state, int* extra, int* vid, int* pid),                 \
      (index, text, state, extra, vid, pid))                                                                \
    X(KoOpen, (int index, int* handle), (index, handle))                                                    \
    X(KoClose, (int handle), (handle))                                                                      \
    /* Transfers and device control. */                                                                     \
    X(KoReadRegister, (int handle, unsigned int address, unsigned int* value), (handle, address, value))    \
    X(KoWriteRegister, (int handle, unsigned int address, unsigned int value), (handle, address, value))    \
    X(KoReadBlock, (int handle, unsigned int address, void* buffer, int length, int mode),                  \
      (handle, address, buffer, length, mode))                                                              \
    X(KoWriteBlock, (int handle, unsigned int address, void* buffer, int length, int mode),                 \
      (handle, address, buffer, length, mode))                                                              \
    X(KoWaitForInterrupt, (int handle, unsigned int timeout, int* flag), (handle, timeout, flag))           \
    X(KoEnableInterrupt, (int handle), (handle))                                                            \
    X(KoResetFpga, (int handle), (handle))                                                                  \
    X(KoProgramFpgaFromBin, (int handle, const char* path), (handle, path))                                 \
    X(KoProgramFpgaFromMemory, (int handle, void* data, int length), (handle, data, length))                \
    X(KoProgramFpgaFromMemoryZ, (int handle, void* data, int length), (handle, data, length))               \
    X(KoSetTimeOut, (int handle, unsigned int timeout), (handle, timeout))                                  \
    X(KoEnableBurst, (int handle, int enable), (handle, enable))                                            \
    /* Raw calls; KoInt0 downloads the firmware file at `path` by type number. */                           \
    X(KoInt0, (int handle, int type, const char* path), (handle, type, path))                               \
    X(KoInt1, (int handle, int a, int b, int c, int d, void* data, int length), (handle, a, b, c, d, data, length)) \
    X(KoInt2, (int handle, int a, int b, void* data, int length), (handle, a, b, data, length))             \
    /* Device information. KoSetUserId reads exactly 16384 bytes, which need not hold a terminator. */     \
    X(KoGetMaxTransferSize, (int handle, int* size), (handle, size))                                        \
    X(KoGetUserId, (int handle, char* text), (handle, text))                                                \
    X(KoSetUserId, (int handle, char* text), (handle, text))                                                \
    X(KoGetSerialNumber, (int handle, char* text), (handle, text))                                          \
    X(KoGetFirmwareVersion, (int handle, char* text), (handle, text))                                       \
    X(KoGetDerivateInfo, (int handle, char* text), (handle, text))                                          \
    X(KoGetDerivateId, (int handle, int* id), (handle, id))

#define QMX4_DECLARE(name, parameters, arguments) int name parameters;
QMX4_FUNCTIONS(QMX4_DECLARE)
#undef QMX4_DECLARE

/* A text the library keeps; the caller copies it and never frees it. */
const char* KoGetQmx4VersionString(void);
/* Writes the description of `code` into a zero-filled 16384-byte buffer;
   its result is not meaningful. */
int KoGetLastErrorText(int code, char* text);

#ifdef __cplusplus
}
#endif

#endif
