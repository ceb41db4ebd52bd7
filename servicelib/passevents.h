/*
 * What a pass did, for the program that runs it (qmx4-fwload-pass), which
 * counts downloads and names the device a pass failed at from here rather
 * than from the log a configuration may switch off. When the environment
 * variable QMX4_FWLOAD_EVENTS_FD holds the number of an open file
 * descriptor, qmx4-fwload writes one line to it per event, each with one
 * write(2):
 *
 *   downloaded INDEX   the firmware download into the device at INDEX (in
 *                      this pass's enumeration) succeeded
 *   failed INDEX       the pass failed at the device at INDEX
 *   failed -           the pass failed outside any device (opening or
 *                      closing the library session, listing the devices)
 *
 * followed by fields, each a tab and KEY=VALUE (a tab, line feed or
 * backslash in VALUE written \t, \n, \\): for a device, entry (its type's
 * place in service.xml), type (that type's name), file (the firmware path
 * handed to the library), device (the name the library lists), vid, pid,
 * and once the file was read right before the library got its path, size
 * (bytes) and sha256 (64 lowercase hexadecimal digits); for a failure,
 * text (what the pass failed with).
 *
 * A refused configuration writes none. Without the variable, or where the
 * descriptor cannot be written to, the program behaves as it does without
 * this channel. qmx4-fwload(8) documents it as an interface.
 *
 * The helper writes the channel's first and last lines, around the
 * downloader's, so that the companion can count a pass from the file alone
 * after the service ended (ExecStopPost=), even one whose helper was
 * killed:
 *
 *   begun TRIES BOOTTIME  the pass began, the TRIES-th of its streak, at
 *                         BOOTTIME (seconds on CLOCK_BOOTTIME)
 *   ended STATUS SECONDS  it ended with the downloader's STATUS (0: success)
 *                         after SECONDS
 */
#ifndef SERVICELIB_PASSEVENTS_H
#define SERVICELIB_PASSEVENTS_H

#define PASSEVENTS_ENV "QMX4_FWLOAD_EVENTS_FD"
#define PASSEVENTS_DOWNLOADED "downloaded"
#define PASSEVENTS_FAILED "failed"
#define PASSEVENTS_BEGUN "begun"
#define PASSEVENTS_ENDED "ended"
#define PASSEVENTS_ENTRY "entry"
#define PASSEVENTS_TYPE "type"
#define PASSEVENTS_FILE "file"
#define PASSEVENTS_DEVICE "device"
#define PASSEVENTS_VID "vid"
#define PASSEVENTS_PID "pid"
#define PASSEVENTS_SIZE "size"
#define PASSEVENTS_SHA256 "sha256"
#define PASSEVENTS_TEXT "text"

#endif
