/*
 * velmsvmtwk - forwards one notification of the systems-management server into
 * the platform's events.
 *
 * The server runs the tool with the notification in environment variables.  The
 * tool maps the severity to one of five event OIDs, condenses the plain text,
 * prints what it found and starts the platform's event sender snmpnotify.exe
 * with one text binding.  It links no platform library: the only outside action
 * is ShellExecuteA, which never runs a shell.
 *
 * Exit status: 1 after the command was started (whether or not it could run),
 * 0 after the usage text, 2 when a device or server name starting with "-" is
 * refused (the sender would take it for one of its options).
 */
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "winapi.h"
#include "zqoid.h"

/* Working texts: Variable 1, Variable 2, the final string and the command name
 * hold 511 characters, the parameter text 2,047. */
#define VMT_TEXT_MAX    511
#define VMT_PARAM_MAX   2047
/* A host name is never longer; longer DEVICENAME or server texts are cut. */
#define VMT_HOST_MAX    255
/* The "|" from which the plain text is forwarded. */
#define VMT_BAR_COUNT   8

static const char szCommandName[] = "snmpnotify.exe";
static const char szBindingOid[] = ZQ_ENT_TEXT ".1.3.1.100.1";

/* The notification as the server handed it over; a missing variable is empty. */
struct VmtNotice {
    const char *szLabel;
    const char *szState;
    const char *szPlainText;
    const char *szRawData;
    const char *szSeverityStr;
    const char *szSeverity;
    const char *szDeviceName;
    const char *szDeviceIp;
    const char *szSpecificTrapId;
    const char *szTaskId;
};

static const char *szGetVar(const char *szName) {
    const char *szValue = getenv(szName);
    return szValue != NULL ? szValue : "";
}

static void vPrintUsage(void) {
    printf("The environment variable TWK_SERVER must be set,\n");
    printf("or the values must be specified on the command line.\n");
    printf("For example: velmsvmtwk.exe TWKServerName\n");
    printf("\nAdditionally, the Systems Vantor Manager environment variables\n");
    printf("must be set in order for this program to execute.\n");
}

/* Everything from the eighth "|" on, that "|" included; empty with fewer bars. */
static std::string szVariable1(const char *szPlainText) {
    int iBars = 0;
    for (const char *p = szPlainText; *p != '\0'; ++p) {
        if (*p == '|' && ++iBars == VMT_BAR_COUNT) return std::string(p).substr(0, VMT_TEXT_MAX);
    }
    return std::string();
}

/* Variable 1 without its first character, each "|" a comma and a blank, no
 * double quotes. */
static std::string szVariable2(const std::string &szVar1) {
    std::string szOut;
    for (size_t i = 1; i < szVar1.size(); ++i) {
        if (szVar1[i] == '|')
            szOut += ", ";
        else if (szVar1[i] != '"')
            szOut += szVar1[i];
    }
    return szOut.substr(0, VMT_TEXT_MAX);
}

static std::string szFinalString(const std::string &szVar2) {
    size_t n = szVar2.size();
    if (n >= 2 && szVar2[n - 2] == ',' && szVar2[n - 1] == ' ') return szVar2.substr(0, n - 2);
    return szVar2;
}

/* The event OID of a severity (exact, case-sensitive). */
static std::string szEventOid(const char *szSeverityStr) {
    int iSpecific = 105;
    if (strcmp(szSeverityStr, "Critical") == 0)
        iSpecific = 101;
    else if (strcmp(szSeverityStr, "Major") == 0)
        iSpecific = 102;
    else if (strcmp(szSeverityStr, "Minor") == 0)
        iSpecific = 103;
    else if (strcmp(szSeverityStr, "Normal") == 0)
        iSpecific = 104;
    return std::string(ZQ_ENT_TEXT ".1.3.1.0.") + std::to_string(iSpecific);
}

/* A text without its double quotes, so it cannot open or close a quoted group of
 * the parameter text. */
static std::string szWithoutQuotes(const std::string &szText) {
    std::string szOut;
    for (char c : szText)
        if (c != '"') szOut += c;
    return szOut;
}

static size_t uiTrailingBackslashes(const std::string &szText) {
    size_t n = 0;
    while (n < szText.size() && szText[szText.size() - 1 - n] == '\\') ++n;
    return n;
}

/* A host name as one argument of the parameter text: no quotes, at most 255
 * characters, written "" when empty so that the next argument keeps its place,
 * and quoted when it holds a blank or a tab, so that it can neither shift the
 * server nor slip options such as -c into the sender's command line. */
static std::string szHostArgument(const char *szHost) {
    std::string szOut = szWithoutQuotes(szHost).substr(0, VMT_HOST_MAX);
    if (szOut.empty()) return std::string("\"\"");
    if (szOut.find_first_of(" \t") == std::string::npos) return szOut;
    szOut.append(uiTrailingBackslashes(szOut), '\\');
    return "\"" + szOut + "\"";
}

/* "-a DEVICE SERVER EVENT-OID BINDING-OID octetstring "VELMSVM - LABEL FINAL"",
 * at most 2,047 characters.  The quoted text is cut where needed and the closing
 * quote always stays; backslashes right before it are doubled so that the
 * command-line rules give them back as they are. */
static std::string szBuildParameters(const VmtNotice &notice, const char *szServer, const std::string &szFinal) {
    std::string szHead = "-a ";
    szHead += szHostArgument(notice.szDeviceName);
    szHead += " ";
    szHead += szHostArgument(szServer);
    szHead += " ";
    szHead += szEventOid(notice.szSeverityStr);
    szHead += " ";
    szHead += szBindingOid;
    szHead += " octetstring";
    szHead += " \"VELMSVM - ";

    std::string szBody = szWithoutQuotes(notice.szLabel) + " " + szFinal;
    size_t uiRoom = VMT_PARAM_MAX - szHead.size() - 1; /* the head is at most about 600 */
    if (szBody.size() > uiRoom) szBody.resize(uiRoom);
    while (szBody.size() + uiTrailingBackslashes(szBody) > uiRoom) szBody.pop_back();
    szBody.append(uiTrailingBackslashes(szBody), '\\');
    return szHead + szBody + "\"";
}

int main(int argc, char **argv) {
    signal(SIGPIPE, SIG_IGN);
    if (argc > 1 && strcmp(argv[1], "--help") == 0) {
        vPrintUsage();
        return 0;
    }

    VmtNotice notice;
    notice.szLabel = szGetVar("NOTICELABEL");
    notice.szState = szGetVar("NOTICESTATE");
    notice.szPlainText = szGetVar("NOTICEPLAINTEXT");
    notice.szRawData = szGetVar("NOTICERAWDATA");
    notice.szSeverityStr = szGetVar("NOTICESEVERITYSTR");
    notice.szSeverity = szGetVar("NOTICESEVERITY");
    notice.szDeviceName = szGetVar("DEVICENAME");
    notice.szDeviceIp = szGetVar("DEVICEIPADDRESS0");
    notice.szSpecificTrapId = szGetVar("SPECIFICTRAPID");
    notice.szTaskId = szGetVar("MX_TASKID");

    /* An empty TWK_SERVER counts as unset, as every missing variable counts as empty. */
    const char *szServer = szGetVar("TWK_SERVER");
    if (szServer[0] == '\0' && argc > 1) szServer = argv[1];
    if (szServer[0] == '\0' || notice.szPlainText[0] == '\0') {
        vPrintUsage();
        return 0;
    }

    /* No host name starts with "-"; on the sender's command line such a name
     * would be read as an option (-c, -h) and the event sent elsewhere or not
     * at all. */
    const struct {
        const char *szWhat;
        const char *szName;
    } aHosts[] = {{"device", notice.szDeviceName}, {"server", szServer}};
    for (const auto &host : aHosts) {
        if (szWithoutQuotes(host.szName).c_str()[0] != '-') continue;
        fprintf(stderr, "velmsvmtwk: the %s name \"%s\" starts with \"-\", which no host name does; nothing sent.\n",
                host.szWhat, host.szName);
        return 2;
    }

    std::string szVar1 = szVariable1(notice.szPlainText);
    std::string szVar2 = szVariable2(szVar1);
    std::string szFinal = szFinalString(szVar2);

    printf("Notice Label          : %s\n", notice.szLabel);
    printf("Notice State          : %s\n", notice.szState);
    printf("Notice Plain Text     : %s\n", notice.szPlainText);
    printf("Notice Raw Data       : %s\n", notice.szRawData);
    printf("Notice Severity String: %s\n", notice.szSeverityStr);
    printf("Notice Severity       : %s\n", notice.szSeverity);
    printf("Device Name           : %s\n", notice.szDeviceName);
    printf("Device IP Address     : %s\n", notice.szDeviceIp);
    printf("Specific Trap ID      : %s\n", notice.szSpecificTrapId);
    printf("MX Task ID            : %s\n", notice.szTaskId);
    printf("Variable 1            : %s\n", szVar1.c_str());
    printf("Variable 2            : %s\n", szVar2.c_str());
    printf("Final Variable String : %s\n", szFinal.c_str());

    std::string szParameters = szBuildParameters(notice, szServer, szFinal);
    printf("Command: %s\n\n", szCommandName);
    printf("Parameters: %s\n\n", szParameters.c_str());
    fflush(stdout);
    /* The sender runs detached; whether it could start is not examined. */
    ShellExecuteA(NULL, "open", szCommandName, szParameters.c_str(), NULL, SW_SHOWNORMAL);
    printf("Command execution called...\n\n\n");
    return 1;
}
