/*
 * trvrixen - opens a node's remote management board in the default browser.
 *
 *   trvrixen selection-name
 *
 * The board address is the node's trvRIXENip value.  Only an address made of
 * digits and dots becomes a URL ("http://" and the address); any other text is
 * refused and nothing opens.  Exit status: 1 once the node was found (whether a
 * board was opened or not), 0 after the usage text or when the database, the
 * field or the node cannot be found.
 */
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "winapi.h"
#include "zqw.h"

/* "http://" and the address fit in 255 characters. */
#define RIX_URL_MAX      255
#define RIX_ADDRESS_MAX  248
#define RIX_FIELD        "trvRIXENip"

static void vPrintUsage(void) {
    printf("Usage: trvrixen.exe ZqSelectionName\n");
}

/* 1 when the text is a board address the URL may carry: digits and dots only,
 * not empty, short enough for the URL. */
static int iIsBoardAddress(const char *szText) {
    size_t uiLength = strlen(szText);
    if (uiLength == 0 || uiLength > RIX_ADDRESS_MAX) return 0;
    return strspn(szText, "0123456789.") == uiLength;
}

int main(int argc, char **argv) {
    signal(SIGPIPE, SIG_IGN);
    if (argc != 2 || strcmp(argv[1], "--help") == 0) {
        vPrintUsage();
        return 0;
    }
    if (ZqwDbInit() == -1) return 0;
    ZqwFieldId uiField = ZqwDbFieldNameToFieldId(RIX_FIELD);
    if (ZqwIsIdNull(uiField)) {
        ZqwDbDone();
        return 0;
    }
    ZqwObjectId uiNode = ZqwDbSelectionNameToObjectId(argv[1]);
    if (ZqwIsIdNull(uiNode)) {
        ZqwDbDone();
        return 0;
    }

    std::string szUrl;
    ZqwFieldValue *pValue = ZqwDbGetFieldValue(uiNode, uiField);
    if (pValue != NULL) {
        if (pValue->field_type == ZQW_STRING_FIELD && pValue->un.string_val != NULL) {
            if (iIsBoardAddress(pValue->un.string_val))
                szUrl = std::string("http://") + pValue->un.string_val;
            else
                fprintf(stderr, "trvrixen: the board address of \"%s\" is not a dotted address; nothing opened.\n",
                        argv[1]);
        }
        ZqwDbFreeFieldValue(pValue);
    }
    ZqwDbDone();

    if (!szUrl.empty() && szUrl.size() <= RIX_URL_MAX) {
        fflush(stdout);
        ShellExecuteA(NULL, "open", szUrl.c_str(), NULL, NULL, SW_SHOWNORMAL);
    }
    return 1;
}
