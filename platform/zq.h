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
 *
 * FIGURES FOR MONITORING
 *   ZqsPublishMetrics(metrics, count) hands the process's figures to zqspmd over
 *   the registered connection; the map program serves them, with the figures of
 *   every other process, at GET /metrics (zq/README.md).  Each call replaces the
 *   whole set the process published before; the set goes when the process ends.
 *   A figure is a NAME (letters, digits, '_' and ':', not starting with a digit,
 *   at most 100 characters; by custom a prefix of its program's family and, for a
 *   counter, the suffix _total), its TYPE (ZQS_METRIC_COUNTER: only ever grows
 *   while the process lives; ZQS_METRIC_GAUGE: a value that goes up and down),
 *   a HELP text (one line; NULL for none), an optional LABEL name (letters,
 *   digits and '_', not starting with a digit; NULL for none) with its value
 *   (any text), and the VALUE.  Figures of one NAME share TYPE and HELP and
 *   differ by their label value.  At most ZQS_METRICS_MAX figures a set.
 *   Returns 0 when sent, or when the set equals the one sent last (nothing is
 *   sent then); -1 when not registered or the connection is lost (ENOTCONN,
 *   ECONNRESET), or for a bad entry or too many (EINVAL; nothing is sent).
 *   Meant to be called from the daemon's loop, about once a second: zqspmd keeps
 *   only the last set, so what a scrape sees is at most that old.
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

#define ZQS_METRIC_COUNTER 1   /* ZqsMetric.type: grows only, while the process lives */
#define ZQS_METRIC_GAUGE   2   /* ZqsMetric.type: goes up and down */
#define ZQS_METRICS_MAX  512   /* figures in one ZqsPublishMetrics set */

typedef struct ZqsMetric {
    const char *name;         /* e.g. "trv_traps_translated_total" */
    int type;                 /* ZQS_METRIC_COUNTER or ZQS_METRIC_GAUGE */
    const char *help;         /* one line for the operator, or NULL */
    const char *label;        /* a label's name, or NULL */
    const char *label_value;  /* its value (with label), any text */
    double value;
} ZqsMetric;

int ZqsInit(int *descriptor);
int ZqsInitComplete(int status, const char *text);
int ZqsReceive(int *command);
int ZqsDone(const char *text);
int ZqsProcessState(const char *name, int *exit_status);
int ZqsPublishMetrics(const ZqsMetric *metrics, int count);

#ifdef __cplusplus
}
#endif

#endif /* ZQ_H */
