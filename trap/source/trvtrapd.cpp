// trvtrapd: the trap formatter daemon.  Started by zqspmd after trvdis, it
// receives the vendor's enterprise traps from trapd, re-issues each as a
// readable event and asks trvdis to refresh the sending node.  It ends on the
// stop command of zqstop, when trapd goes away, or on a fatal failure.
#include <sys/select.h>

#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "trvlib.h"
#include "trvtrapinit.h"
#include "trvtrapmain.h"
#include "zq.h"
#include "zqw.h"

int iZqsDescriptor = -1;
ZqSession *pTrapSession = nullptr;

namespace {

const char kSource[] = "trap/source/trvtrapd";

// Every trap of the vendor's enterprise subtree.
const char kTrapFilter[] = "." ZQ_ENT_TEXT ".*";

void vUsage() {
    std::printf(
        "Usage: trvtrapd [-dl 0|1|2] [--help]\n"
        "\n"
        "The Tarvo trap formatter daemon.  It runs under the process manager zqspmd\n"
        "(listed in $ZQ_ROOT/conf/zqsuf after trvdis; start it with zqstart, stop it\n"
        "with zqstop) and needs trvdis to be running.  It turns every trap of the\n"
        "vendor's enterprise (" ZQ_ENT_TEXT ") that trvtrapd.conf defines into a readable\n"
        "event, re-issued to trapd under enterprise " ZQ_ENT_TEXT ".1.3.1, and asks\n"
        "trvdis to refresh the sending node's status when the definition says Y.\n"
        "\n"
        "  -dl N    debug level: 0 none (default), 1 main steps, 2 everything\n"
        "  --help   this text\n"
        "\n"
        "Files: $ZQ_ROOT/conf/c/trv/trvtrapd.conf and trvval2str.trap (read at start);\n"
        "logs: $ZQ_ROOT/temp/vtmzqerr.log and vtmzqdbg.log.\n");
}

void vReleaseTables() {
    vFreeTrapDefs();
    vFreeValMap();
}

}  // namespace

void vInitProcess(int iArgc, char **ppArgv) {
    szProgramName = "trvtrapd";
    uiDebugLevel = iGetDebugLevel(iArgc, ppArgv);
    if (std::setlocale(LC_ALL, "") == nullptr) {
        iPrintError(1104, "Error, setting specified locale. Continuing with \"C\".");
        std::setlocale(LC_ALL, "C");
    }
}

int iInitialize(void) {
    if (ZqwDbInit() < 0) {
        iPrintError(TRV_ERR_ZQW, "iInitialize: Cannot open the topology database.\n");
        return -1;
    }
    if (iIsTrvdisRunning() != 1) {
        if (ZqsInitComplete(2, "Initialization failed. \"trvdis\" is not running.\n") < 0)
            iPrintError(TRV_ERR_SYSTEM, "iInitialize: Cannot report to \"zqspmd\".\n");
        iPrintDebug(__LINE__, kSource, 2,
                    "iInitialize: \"trvdis\" is not running. \"trvtrapd\" requires trvdis to be running.\n");
        iTrapState = TRAP_STATE_FATAL;
        return -1;
    }
    iPrintDebug(__LINE__, kSource, 2, "iInitialize: \"trvdis\" is running!\n");

    TrapDef **ppDefs = nullptr;
    TrvParseResult stDefsParse = {};
    int iDefs = iLoadTrapDefs(&ppDefs, &stDefsParse);
    if (iDefs < 0) {
        iPrintError(TRV_ERR_SYSTEM, "\": trvtrapd.conf\"");
        iTrapState = TRAP_STATE_FATAL;
        return -1;
    }
    if (iDefs == 0) {
        iTrapState = TRAP_STATE_FATAL;
        iPrintError(65, "%s - %s\n", szTrapConfPath, stDefsParse.szDetail);
        return -1;
    }
    iPrintDebug(__LINE__, kSource, 2,
                "iInitialize: All trap definitions in \"trvtrapd.conf\" are loaded into memory successfully.\n");

    ValMapEntry **ppMap = nullptr;
    TrvParseResult stMapParse = {};
    int iBlocks = iLoadValMap(&ppMap, "trvval2str.trap", &stMapParse);
    if (iBlocks < 0) {
        iPrintError(TRV_ERR_SYSTEM, "\"trvval2str.dat\"");
        iTrapState = TRAP_STATE_FATAL;
        return -1;
    }
    if (iBlocks == 0) {
        iTrapState = TRAP_STATE_FATAL;
        return -1;
    }
    iPrintDebug(__LINE__, kSource, 2,
                "iInitialize: All Value-to-string mappings in \"trvval2str.dat\" are loaded into memory "
                "successfully.\n");

    vSortTrapDefs();
    iPrintDebug(__LINE__, kSource, 2, "iInitialize: All trap definitions are sorted.\n");
    return 1;
}

void vTrapdExit(int iKind, int iStatus, const char *szText) {
    vReleaseTables();
    vCloseSendSession();
    switch (iKind) {
    case 1:
    case 2:
    case 3:
        if (ZqsDone(szText) < 0) {
            iPrintError(TRV_ERR_SYSTEM, "vTrapdExit: Cannot report to \"zqspmd\".\n");
            ZqwDone();
            std::exit(iStatus);
        }
        break;
    case 4:
        if (ZqsInitComplete(2, szText) < 0) {
            iPrintError(TRV_ERR_SYSTEM, "vTrapdExit: Cannot report to \"zqspmd\".\n");
            ZqwDone();
            std::exit(iStatus);
        }
        break;
    case 5:
        if (ZqsDone(szText) < 0) {
            iPrintError(TRV_ERR_SYSTEM, "vTrapdExit: Cannot report to \"zqspmd\".\n");
            ZqsDone(szText);
            std::exit(iStatus);
        }
        break;
    default:
        break;
    }
    ZqwDone();
    std::exit(iStatus);
}

void vTrapdCallback(int iReason, ZqSession *pSession, ZqPdu *pPdu, void * /*pData*/) {
    switch (iReason) {
    case ZQSNMP_REASON_TRAP:
        iPrintDebug(__LINE__, kSource, 2, "Callback: Came inside the callback.");
        iPrintDebug(__LINE__, kSource, 2, "Processing required is true.");
        if (iProcessRecvdTrap(pPdu) == -1 && iTrapState == TRAP_STATE_FATAL) {
            ZqsnmpFreePdu(pPdu);
            ZqsnmpClose(pSession);
            pTrapSession = nullptr;
            vTrapdExit(3, 1, szGetMessage(8, 8006, "Exiting. Check the error log file:"));
        }
        ZqsnmpFreePdu(pPdu);
        break;
    case ZQSNMP_REASON_LOST:
        // No PDU comes with this reason.
        iPrintError(TRV_ERR_SYSTEM, "vTrapdCallback: The connection with \"trapd\" is lost.\n");
        ZqsnmpClose(pSession);
        pTrapSession = nullptr;
        vTrapdExit(1, 0, szGetMessage(8, 8007, "Lost connection with trapd, trapd has terminated."));
    case ZQSNMP_REASON_ERROR:
        iPrintError(TRV_ERR_SYSTEM, "vTrapdCallback: An unreadable event arrived.\n");
        ZqsnmpFreePdu(pPdu);
        break;
    default:
        iPrintError(1002, "Callback invoked for unknown reason!");
        ZqsnmpFreePdu(pPdu);
        break;
    }
}

// The counts for monitoring go to zqspmd at most once a second (the map
// program serves them); an unchanged set is not sent again.
static void vPublishFigures(void) {
    static time_t tLast = 0;
    time_t tNow = time(nullptr);
    if (tNow == tLast) return;
    tLast = tNow;
    ZqsMetric aFigures[] = {
        {"trv_traps_received_total", ZQS_METRIC_COUNTER, "Vendor traps trvtrapd received", nullptr, nullptr,
         static_cast<double>(ulReceivedTraps)},
        {"trv_traps_translated_total", ZQS_METRIC_COUNTER, "Vendor traps re-issued with their readable text",
         nullptr, nullptr, static_cast<double>(ulTranslatedTraps)},
        {"trv_traps_unknown_total", ZQS_METRIC_COUNTER,
         "Vendor traps without a definition (kept in log/trvtrapd.unknown)", nullptr, nullptr,
         static_cast<double>(ulUnknownTraps)},
        {"trv_status_requests_total", ZQS_METRIC_COUNTER, "Status requests sent to trvdis for a trap's node",
         nullptr, nullptr, static_cast<double>(ulStatusRequests)},
    };
    ZqsPublishMetrics(aFigures, static_cast<int>(sizeof aFigures / sizeof aFigures[0]));
}

void vTrapdLoop(ZqSession *pSession, int iDescriptor) {
    int iFailures = 0;  // select failures in a row, other than interruptions
    for (;;) {
        vPublishFigures();
        int iSock = pSession != nullptr ? pSession->sock_fd : -1;
        fd_set set;
        FD_ZERO(&set);
        int iReady = -1;
        if (iDescriptor >= 0 && iDescriptor < FD_SETSIZE && iSock < FD_SETSIZE) {
            FD_SET(iDescriptor, &set);
            if (iSock >= 0) FD_SET(iSock, &set);
            // Woken each second, so that the last counts of a burst reach zqspmd.
            struct timeval stWait = {1, 0};
            iReady = select((iDescriptor > iSock ? iDescriptor : iSock) + 1, &set, nullptr, nullptr, &stWait);
        } else {
            errno = EBADF;
        }
        if (iReady < 0) {
            int iErr = errno;
            iPrintError(TRV_ERR_SYSTEM, "vTrapdLoop: select failed.\n");
            if (iErr == EINTR) continue;
            // Nothing counts as readable after a failure; a second one in a row
            // ends the daemon as a bad descriptor does.
            if (iErr == EBADF || ++iFailures >= 2) {
                ZqsnmpClose(pSession);
                pTrapSession = nullptr;
                vTrapdExit(1, 1, szGetMessage(8, 8008, "Lost connection with trapd/zqspmd.\n"));
            }
            continue;
        }
        iFailures = 0;

        // The process manager first; the session in the next pass.
        if (FD_ISSET(iDescriptor, &set)) {
            int iCommand = 0;
            if (ZqsReceive(&iCommand) < 0) {
                iPrintError(TRV_ERR_SYSTEM, "vTrapdLoop: The connection with \"zqspmd\" is lost.\n");
                vReleaseTables();
                vCloseSendSession();
                ZqsnmpClose(pSession);
                pTrapSession = nullptr;
                ZqwDone();
                std::exit(1);
            }
            if (iCommand == ZQS_CMD_STOP) {
                if (ulUnknownTraps > 0)
                    printf("trvtrapd: %lu vendor traps without a definition kept in log/trvtrapd.unknown\n",
                           ulUnknownTraps);
                ZqsDone("trvtrapd exiting at the request of ZqsPMD (via zqstop)");
                ZqsnmpClose(pSession);
                pTrapSession = nullptr;
                vTrapdExit(5, 0, nullptr);
            }
            iPrintError(1016, "Bad Command from \"zqspmd\" process.");
            continue;
        }
        if (iSock >= 0 && FD_ISSET(iSock, &set)) ZqsnmpRead(&set);
    }
}

int main(int argc, char **argv) {
    vLineBufferOutput();
    if (iHelpAsked(argc, argv)) {
        vUsage();
        return 0;
    }
    vInitProcess(argc, argv);
    // Only the process manager stops the daemon.
    std::signal(SIGTERM, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);

    if (ZqsInit(&iZqsDescriptor) < 0) {
        iPrintError(TRV_ERR_SYSTEM, "main: Cannot register with \"zqspmd\"; trvtrapd runs only under zqspmd.\n");
        return 1;
    }
    iPrintDebug(__LINE__, kSource, 1, "main: Sock Fd of the communication channel with \"zqspmd\" = %d\n",
                iZqsDescriptor);

    if (iInitialize() == -1) {
        iPrintDebug(__LINE__, kSource, 1, "main: Unable to initialize trvtrapd.\n");
        iPrintError(1001, "*** Critical Error: Exiting! ***\n");
        vTrapdExit(4, 1, szGetMessage(8, 8005, "Initialization failed."));
    }

    pTrapSession = ZqsnmpEventOpen("127.0.0.1", "startrap", vTrapdCallback, nullptr, kTrapFilter);
    if (pTrapSession == nullptr) {
        iPrintError(TRV_ERR_SYSTEM, "main: Cannot open the trap session.\n");
        iPrintDebug(__LINE__, kSource, 1, "main: Couldn't establish a session with trapd.\n");
        vTrapdExit(2, 1, szGetMessage(1, 1012, "Could not establish a trap session with trapd."));
    }
    pTrapSession->flags |= ZQSNMP_FLAG_V1_FORM;
    iPrintDebug(__LINE__, kSource, 2, "main: Session with trapd established successfully.\n");
    iPrintDebug(__LINE__, kSource, 2, "main: After setting flags.\n");

    if (ZqsInitComplete(1, szGetMessage(1, 8004, "Initialization complete.")) < 0) {
        vReleaseTables();
        ZqsnmpClose(pTrapSession);
        pTrapSession = nullptr;
        iPrintError(TRV_ERR_SYSTEM, "main: Cannot report the start-up to \"zqspmd\".\n");
        ZqwDone();
        return 1;
    }
    vTrapdLoop(pTrapSession, iZqsDescriptor);
}
