/*
 * zq.h - the platform's process-manager library.
 *
 * A daemon that zqspmd started (conf/zqsuf of the instance) registers with it,
 * reports the end of its start-up, receives commands (6 = stop) and says that it
 * is done.  zqspmd passes ZQ_ROOT and ZQS_NAME (the process's name in conf/zqsuf)
 * in the environment; the library connects to $ZQ_ROOT/run/zqspmd.sock.
 *
 * Typical use:
 *     int fd;
 *     if (ZqsInit(&fd) < 0) ... not started by zqspmd, or zqspmd is not running
 *     ... open sockets ...
 *     ZqsInitComplete(ZQS_INIT_OK, "Initialization complete.");
 *     loop: select() on fd with the others; when fd is readable:
 *         int cmd; if (ZqsReceive(&cmd) < 0) ... connection lost
 *         if (cmd == ZQS_CMD_STOP) { ZqsDone("exiting on request"); exit(0); }
 *
 * RESULTS
 *   ZqsInit          the descriptor (>= 0), also stored in *descriptor; -1 when
 *                    ZQS_NAME is not set, zqspmd is not running, or zqspmd does not
 *                    know the calling process as the one it started under that name.
 *                    A second call returns the same descriptor.
 *   ZqsInitComplete  0 when sent, -1 on failure (not registered, connection lost,
 *                    status other than 1 or 2).  It may be called more than once;
 *                    the last text is the one zqstatus shows.
 *   ZqsReceive       the command number (>= 0), also stored in *command; -1 when the
 *                    connection is lost or a malformed record arrives.  Call it when
 *                    the descriptor is readable: it blocks until a whole command is in.
 *   ZqsDone          0 when sent, -1 when not registered or the connection is lost.
 *                    ZqsDone(NULL) sends no text (the last one is kept); calling it
 *                    again is harmless.  The connection stays open until exit.
 *
 * Texts may hold any characters; line breaks are carried through.  The descriptor
 * is close-on-exec.  Not thread-safe: one thread of a process uses the library.
 *
 * ANOTHER PROCESS'S STATE
 *   ZqsProcessState(name, &exit_status) asks zqspmd of the instance $ZQ_ROOT for the
 *   state of the process NAME of conf/zqsuf, as zqstatus shows it.  Any process of
 *   the instance's user may ask (no ZqsInit needed).  Returns one of the ZQS_STATE_
 *   values; *exit_status (when not NULL) gets how it last ended: the exit code
 *   (>= 0), minus the signal number that ended it (< 0), or ZQS_NO_EXIT when it has
 *   not ended since it was last started.  -1 when zqspmd cannot be reached or
 *   refuses the caller, does not answer within 2 seconds, or knows no process of
 *   that name.  A process shown RUNNING has not been reaped by zqspmd yet; any
 *   other state means it has ended and no longer writes anything.  One that ended
 *   may be started again by zqspmd's restart policy (a crash, a lost trapd), so a
 *   caller that needs it to stay ended also looks at exit_status.
 */
#ifndef ZQ_H
#define ZQ_H

#ifdef __cplusplus
extern "C" {
#endif

#define ZQS_INIT_OK      1   /* ZqsInitComplete: start-up succeeded */
#define ZQS_INIT_FAILED  2   /* ZqsInitComplete: start-up failed, text says why */
#define ZQS_CMD_STOP     6   /* ZqsReceive: stop request (zqstop) */

#define ZQS_STATE_NOT_RUNNING 0   /* ZqsProcessState: never started, or stopped by zqstop */
#define ZQS_STATE_RUNNING     1   /* alive (also before its start-up report) */
#define ZQS_STATE_FAILED      2   /* its start-up failed, or its restart budget is spent */
#define ZQS_STATE_EXITED      3   /* ended on its own after a good start-up */
#define ZQS_NO_EXIT     (-1000)   /* ZqsProcessState: no exit status yet */

int ZqsInit(int *descriptor);
int ZqsInitComplete(int status, const char *text);
int ZqsReceive(int *command);
int ZqsDone(const char *text);
int ZqsProcessState(const char *name, int *exit_status);

#ifdef __cplusplus
}
#endif

#endif /* ZQ_H */
