/*
 * trvdelfld - removes the integration's field definitions from the topology
 * database, the last step before the integration is uninstalled.
 *
 *   trvdelfld y        ("y" or "Y" confirms; further arguments are ignored)
 *
 * Problems go to the shared error log (and standard error) through iPrintError;
 * a failed deletion is reported and the tool goes on.  Exit status: 0 after a
 * complete run, 1 when it refuses or cannot connect, resolve its fields or list
 * the vendor's nodes.
 */
#include <signal.h>

#include <cstdio>
#include <cstring>

#include "trvlib.h"
#include "zqw.h"

/* The field the platform's own checks keep; it is deleted with the others. */
#define DEL_OK_FIELD "OK?"

static void vPrintRefusal(void) {
    printf("Error : Expects \"y\" as the first parameter.\n");
    printf("       This will result in deletion of fields from the database.\n\n");
}

static void vPrintHelp(void) {
    printf("Usage: trvdelfld y\n\n");
    printf("Deletes the Tarvo integration's fields from the topology database of the\n");
    printf("instance named by ZQ_ROOT.  \"y\" or \"Y\" as the first argument confirms.\n");
}

/* Deletes one field definition; a failure is reported with the field's name.  A
 * null id is never handed to the database: it stands for a field that does not
 * exist, and its deletion fails. */
static void vDeleteField(ZqwFieldId uiField, const char *szName) {
    if (ZqwIsIdNull(uiField) || ZqwDbDeleteField(uiField) < 1) iPrintError(TRV_ERR_ZQW, ":%s", szName);
}

/* 1 when some vendor node still has subsystem objects, 0 when none has, -1 when
 * a list cannot be read (reported). */
static int iSubsystemObjectsRemain(void) {
    ZqwFieldValue isTrue = {};
    isTrue.field_type = ZQW_BOOL_FIELD;
    isTrue.un.bool_val = 1;
    ZqwObjectIdList *pNodes = ZqwDbListObjectsByFieldValue(uiFieldIsTrvVantor, &isTrue);
    if (pNodes == NULL) {
        iPrintError(TRV_ERR_ZQW, "");
        return -1;
    }
    int iResult = 0;
    for (unsigned int i = 0; i < pNodes->count && iResult == 0; ++i) {
        ZqwFieldValue nodeId = {};
        nodeId.field_type = ZQW_INT_FIELD;
        nodeId.un.int_val = static_cast<int32_t>(pNodes->object_ids[i]);
        ZqwObjectIdList *pObjects = ZqwDbListObjectsByFieldValue(uiFieldTrvNodeObjId, &nodeId);
        if (pObjects == NULL) {
            iPrintError(TRV_ERR_ZQW, "");
            iResult = -1;
        } else {
            if (pObjects->count > 0) iResult = 1;
            ZqwDbFreeObjectIdList(pObjects);
        }
    }
    ZqwDbFreeObjectIdList(pNodes);
    return iResult;
}

int main(int argc, char **argv) {
    signal(SIGPIPE, SIG_IGN);
    if (argc == 2 && strcmp(argv[1], "--help") == 0) {
        vPrintHelp();
        return 0;
    }
    if (argc < 2 || (strcmp(argv[1], "y") != 0 && strcmp(argv[1], "Y") != 0)) {
        vPrintRefusal();
        return 1;
    }
    if (ZqwDbInit() == -1) {
        iPrintError(TRV_ERR_ZQW, "");
        return 1;
    }
    if (iGetFieldIds() != 1) {
        ZqwDbDone();
        return 1;
    }

    vDeleteField(uiFieldTrvSubSysType, "trvSubSysType");
    vDeleteField(uiFieldTrvSysType, "trvSysType");
    vDeleteField(uiFieldTrvOsType, "trvOsType");
    vDeleteField(uiFieldTrvRIXENip, "trvRIXENip");

    ZqwFieldId uiOkField = ZqwDbFieldNameToFieldId(DEL_OK_FIELD);
    if (ZqwIsIdNull(uiOkField)) iPrintError(TRV_ERR_ZQW, ":%s", DEL_OK_FIELD);
    vDeleteField(uiOkField, DEL_OK_FIELD);

    vDeleteField(uiFieldTrvDeviceStatus, "trvDeviceStatus");

    int iRemain = iSubsystemObjectsRemain();
    if (iRemain < 0) {
        ZqwDbDone();
        return 1;
    }
    /* No subsystem object names a node any more: their link field goes too. */
    if (iRemain == 0) vDeleteField(uiFieldTrvNodeObjId, "trvNodeObjId");

    ZqwDbDone();
    printf("Successfully deleted all Vantor Integration fields from Database.\n");
    printf("\n");
    return 0;
}
