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
 */
#ifndef QMX4API_QMX4_H
#define QMX4API_QMX4_H

#ifdef __cplusplus
extern "C" {
#endif

#define QMX4_TEXT_SIZE 16384

/* Session. */
int KoInit(void);
int KoInitEx(const char* path);
int KoDeInit(void);
int KoSetLogLevel(int level);
/* A text the library keeps; the caller copies it and never frees it. */
const char* KoGetQmx4VersionString(void);
/* Writes the description of `code` into a zero-filled 16384-byte buffer;
   its result is not meaningful. */
int KoGetLastErrorText(int code, char* text);

/* Enumeration and opening. `count` and `handle` are written only on success. */
int KoEnumerate(int type, int* count);
int KoEnumerateInfo(int index, char* text, int* state, int* extra, int* vid, int* pid);
int KoOpen(int index, int* handle);
int KoClose(int handle);

/* Transfers and device control. */
int KoReadRegister(int handle, unsigned int address, unsigned int* value);
int KoWriteRegister(int handle, unsigned int address, unsigned int value);
int KoReadBlock(int handle, unsigned int address, void* buffer, int length, int mode);
int KoWriteBlock(int handle, unsigned int address, void* buffer, int length, int mode);
int KoWaitForInterrupt(int handle, unsigned int timeout, int* flag);
int KoEnableInterrupt(int handle);
int KoResetFpga(int handle);
int KoProgramFpgaFromBin(int handle, const char* path);
int KoProgramFpgaFromMemory(int handle, void* data, int length);
int KoProgramFpgaFromMemoryZ(int handle, void* data, int length);
int KoSetTimeOut(int handle, unsigned int timeout);
int KoEnableBurst(int handle, int enable);

/* Raw calls; KoInt0 downloads the firmware file at `path` by type number. */
int KoInt0(int handle, int type, const char* path);
int KoInt1(int handle, int a, int b, int c, int d, void* data, int length);
int KoInt2(int handle, int a, int b, void* data, int length);

/* Device information. KoSetUserId reads exactly 16384 bytes, which need not
   hold a terminator. */
int KoGetMaxTransferSize(int handle, int* size);
int KoGetUserId(int handle, char* text);
int KoSetUserId(int handle, char* text);
int KoGetSerialNumber(int handle, char* text);
int KoGetFirmwareVersion(int handle, char* text);
int KoGetDerivateInfo(int handle, char* text);
int KoGetDerivateId(int handle, int* id);

#ifdef __cplusplus
}
#endif

#endif
