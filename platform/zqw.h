/*
 * zqw.h - the platform's topology database and map library.
 *
 * DATABASE
 *   One SQLite file per instance, $ZQ_ROOT/db/topology.db (WAL mode), shared by
 *   every process of the instance.  ZqwDbInit opens it; it never creates it (only
 *   zqsetup does).  Each call is its own transaction, unless the caller groups
 *   calls with ZqwDbBegin and ZqwDbCommit (below).  A database that another
 *   process holds busy is waited for, up to db_busy_timeout of conf/zq.conf
 *   (then error 24).
 *
 *   Objects have integer ids (0 is the null id), an optional unique selection
 *   name (the String field "Selection Name") and, for nodes, a host name (the
 *   String field "IP Hostname", matched without regard to case).  Fields are
 *   registered by zqsetup from the NAME.fields files of $ZQ_ROOT/fields, each
 *   with one of the types Boolean, Integer, String or Enumeration (ordered
 *   names; the value is the index, counted from 0).  Look-ups and lists by
 *   value use indexes: their cost grows with the number of matches, not with
 *   the size of the database.
 *
 * FIELD VALUE RECORD (ZqwFieldValue)
 *   { is_list, field_type, un }.  is_list must be 0 (list values do not exist;
 *   a nonzero flag is error 3).  field_type is one of
 *       ZQW_INT_FIELD 1      un.int_val    (32-bit signed)
 *       ZQW_BOOL_FIELD 2     un.bool_val   (0 FALSE, anything else TRUE)
 *       ZQW_STRING_FIELD 3   un.string_val (NUL-terminated text)
 *       ZQW_ENUM_FIELD 4     un.enum_val   (the index of the name)
 *   so a caller writes the condition "boolean field is TRUE" as {0, 2, {1}}.
 *   A record must carry the type of the field it is used with (else error 64).
 *
 * OWNERSHIP
 *   - Texts returned (ZqwDbObjectIdToHostname, ZqwDbGetFieldStringValue,
 *     ZqwDbGetFieldEnumByName) are heap copies: the caller frees them with free().
 *   - ZqwDbGetFieldValue returns a record the caller frees with ZqwDbFreeFieldValue
 *     (which also frees its text).
 *   - Id lists returned are freed with ZqwDbFreeObjectIdList.  An empty result is
 *     a list with count 0 (object_ids may then be null), never a null list; null
 *     means failure.  Ids come in ascending order.
 *   - Records the caller passes in (values, binding lists, field lists) stay the
 *     caller's.  ZqwDbFreeFieldBindList frees a binding list whose parts (the list,
 *     its entries array, each value record and its text) were allocated with
 *     malloc/calloc or ZqsnmpMalloc (the same allocator); null parts are skipped.
 *
 * ERRORS
 *   Every call sets the error number that ZqwError() returns: 0 on success.
 *   ZqwErrorMsg(code) gives a static text.  Numbers:
 *     0 none, 3 bad argument (null or invalid id), 23 the connection to the
 *     database was lost (the file vanished, was replaced or cannot be read; also
 *     before ZqwDbInit), 30 no such application, 32 no such action, 62 no such
 *     field, 63 the object already exists, 64 the field has another type than the
 *     call expects, 69 the field has no value on this object, 70 no such
 *     enumeration value, 80 no such object, 82 the object has no symbol on this
 *     map, 92 nothing to change, 121 the symbol type is not registered, 141 no
 *     such symbol.
 *   Checks come in this order: arguments (3), field (62), field type (64),
 *   object (80), enumeration name or value (70), value present (69).
 *
 * Not thread-safe: one thread per process uses the library.
 */
#ifndef ZQW_H
#define ZQW_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- ids ------------------------------------------------------------------ */

typedef uint32_t ZqwObjectId;   /* 0 is the null id */
typedef uint32_t ZqwFieldId;    /* 0 is the null id */

#define ZQW_NULL_ID 0u

/* Nonzero when id is the null id (nothing was found). */
int ZqwIsIdNull(uint32_t id);

/* ---- error numbers -------------------------------------------------------- */

#define ZQW_E_OK              0
#define ZQW_E_BADARG          3    /* bad argument (null or invalid id) */
#define ZQW_E_CONNLOST        23   /* the connection to the database was lost */
#define ZQW_E_LOCKED          24   /* another process held the database locked past db_busy_timeout */
#define ZQW_E_NOAPP           30   /* no such application */
#define ZQW_E_NOACTION        32   /* no such action */
#define ZQW_E_NOFIELD         62   /* no such field */
#define ZQW_E_EXISTS          63   /* the object already exists */
#define ZQW_E_BADTYPE         64   /* the field has another type than the call expects */
#define ZQW_E_NOVALUE         69   /* the field has no value on this object */
#define ZQW_E_NOENUM          70   /* no such enumeration value */
#define ZQW_E_NOOBJECT        80   /* no such object */
#define ZQW_E_NOSYMBOLONMAP   82   /* the object has no symbol on this map */
#define ZQW_E_NOCHANGE        92   /* nothing to change: the symbol already has that value */
#define ZQW_E_NOSYMBOLTYPE    121  /* the symbol type is not registered */
#define ZQW_E_NOSYMBOL        141  /* no such symbol */

/* The last error number of the calling process (0: the last call succeeded). */
int         ZqwError(void);
/* Static text of an error number; never null. */
const char *ZqwErrorMsg(int code);

/* ---- records -------------------------------------------------------------- */

#define ZQW_INT_FIELD     1
#define ZQW_BOOL_FIELD    2
#define ZQW_STRING_FIELD  3
#define ZQW_ENUM_FIELD    4

typedef struct ZqwFieldValue {
    int is_list;            /* always 0 */
    int field_type;         /* ZQW_*_FIELD */
    union {
        int32_t int_val;    /* ZQW_INT_FIELD (first member: {0, 2, {1}} initialises it) */
        int     bool_val;   /* ZQW_BOOL_FIELD */
        char   *string_val; /* ZQW_STRING_FIELD */
        int32_t enum_val;   /* ZQW_ENUM_FIELD */
    } un;
} ZqwFieldValue;

/* One condition "field equals value". */
typedef struct ZqwFieldBinding {
    ZqwFieldId     field_id;
    ZqwFieldValue *value;
} ZqwFieldBinding;

typedef struct ZqwFieldBindList {
    unsigned int     count;
    ZqwFieldBinding *entries;
} ZqwFieldBindList;

typedef struct ZqwFieldIdList {
    unsigned int count;
    ZqwFieldId  *field_ids;
} ZqwFieldIdList;

typedef struct ZqwObjectIdList {
    unsigned int count;
    ZqwObjectId *object_ids;   /* ascending; may be null when count is 0 */
} ZqwObjectIdList;

/* ---- connection ------------------------------------------------------------ */

/* Opens $ZQ_ROOT/db/topology.db.  0 on success; -1 when the instance has no
 * database or it cannot be opened (it is never created here).  Calling it again
 * reopens the database. */
int  ZqwDbInit(void);
/* Closes the database; later calls fail with 23 until ZqwDbInit. */
void ZqwDbDone(void);
/* The page cache this process keeps of the open database, in KiB (256 to
 * 1048576; ZqwDbInit starts at 32768).  The pages a process has read stay in
 * its memory up to that size; a smaller cache keeps a long-lived process small
 * over a large database, and the system's file cache still holds the pages.
 * 0, or -1 with 3 (out of range) or 23 (no database open). */
int  ZqwDbSetPageCache(int kib);

/* ---- grouped calls ----------------------------------------------------------
 * ZqwDbBegin: the calls that follow, up to ZqwDbCommit, are one transaction.
 * Other processes see the group's changes together when it commits, never a
 * part of them.  The group's transaction begins with its first call (taking the
 * write lock then, waited for as any call waits) and the check that the
 * database file is still the one opened is made once, at that first call.
 * Each call of the group still succeeds or fails on its own, with the result
 * and error number it has alone: a failing call undoes only its own changes,
 * and the group goes on.  Hold a group only while calls follow one another:
 * commit before waiting for anything else (the network), since other writers
 * wait for the group.
 *   ZqwDbBegin:  0, or -1 with 3 (a group is already open) or 23.
 *   ZqwDbCommit: 0 when every change of the group is stored (also when the
 *                group made no call); -1 when none is: 24 the lock could not be
 *                kept, 23 the database could not store them (disk full, file
 *                gone).  The group is closed either way. */
int  ZqwDbBegin(void);
int  ZqwDbCommit(void);

/* ---- names and ids ---------------------------------------------------------- */

/* The id of a registered field; null with 62 when there is none. */
ZqwFieldId  ZqwDbFieldNameToFieldId(const char *name);
/* The object whose selection name is name (exact); null with 80 when none. */
ZqwObjectId ZqwDbSelectionNameToObjectId(const char *name);
/* The object whose host name is host (case-insensitive; the lowest id when
 * several share it); null with 80 when none.  An address is not resolved: it
 * matches only an object whose host name is that text. */
ZqwObjectId ZqwDbHostnameToObjectId(const char *host);
/* The host name of an object (free() it); null with 80 (no object), 69 (the
 * object has no host name), 3 or 23. */
char       *ZqwDbObjectIdToHostname(ZqwObjectId object);

/* ---- objects and fields ----------------------------------------------------- */

/* A new object, with the values of bindings set in the same transaction (null
 * or count 0: none; at most 1000).  Null id on failure: 63 when a binding sets a
 * selection name another object has; 3, 62, 64, 70 for a bad binding.  Nothing
 * is created then. */
ZqwObjectId ZqwDbCreateObject(const ZqwFieldBindList *bindings);
/* A new object with that selection name.  Null id with 63 when an object with
 * that name exists (its id is not returned: look it up), 3 for a null or empty
 * name. */
ZqwObjectId ZqwDbCreateObjectBySelectionName(const char *name);
/* Deletes the object and every value it has, with its symbols on every map (and
 * the component symbols inside its node symbols), its map statuses and saved
 * positions.  1 on success, -1 on failure (3 for the null id, 80 for an unknown
 * object). */
int ZqwDbDeleteObject(ZqwObjectId object);
/* Deletes a field definition with every value of it on every object.  1 on
 * success, -1 on failure (3 for the null id or for the two fields the library
 * itself rests on, "Selection Name" and "IP Hostname"; 62 for an unknown field).
 * A failure touches nothing. */
int ZqwDbDeleteField(ZqwFieldId field);

/* ---- values: reading --------------------------------------------------------- */

/* 1 when TRUE; 0 when FALSE or on failure (ZqwError tells which). */
int   ZqwDbGetFieldBooleanValue(ZqwObjectId object, ZqwFieldId field);
/* The value; -1 on failure (ZqwError is then nonzero; -1 may also be a value). */
int   ZqwDbGetFieldIntegerValue(ZqwObjectId object, ZqwFieldId field);
/* The text (free() it) or null. */
char *ZqwDbGetFieldStringValue(ZqwObjectId object, ZqwFieldId field);
/* The name of an enumeration value (free() it) or null. */
char *ZqwDbGetFieldEnumByName(ZqwObjectId object, ZqwFieldId field);
/* The index of an enumeration value, or -1. */
int   ZqwDbGetFieldEnumByValue(ZqwObjectId object, ZqwFieldId field);
/* The index of the name in an enumeration field's definition, or -1 (70 when the
 * field has no such name, 64 when it is no enumeration). */
int   ZqwDbGetEnumValue(ZqwFieldId field, const char *name);
/* The value of any type as a record (ZqwDbFreeFieldValue), or null. */
ZqwFieldValue *ZqwDbGetFieldValue(ZqwObjectId object, ZqwFieldId field);
/* Frees a record from ZqwDbGetFieldValue with its text; null does nothing. */
void  ZqwDbFreeFieldValue(ZqwFieldValue *value);

/* ---- values: writing ----------------------------------------------------------
 * 1 on success, -1 on failure.  Setting "Selection Name" to a name another object
 * has fails with 63. */
int ZqwDbSetFieldBooleanValue(ZqwObjectId object, ZqwFieldId field, int value);
int ZqwDbSetFieldIntegerValue(ZqwObjectId object, ZqwFieldId field, int value);
int ZqwDbSetFieldStringValue(ZqwObjectId object, ZqwFieldId field, const char *value);
int ZqwDbSetFieldEnumByName(ZqwObjectId object, ZqwFieldId field, const char *name);
int ZqwDbSetFieldEnumByValue(ZqwObjectId object, ZqwFieldId field, int value);
/* Sets a value of any type from a record. */
int ZqwDbSetFieldValue(ZqwObjectId object, ZqwFieldId field, const ZqwFieldValue *value);

/* Removes the value of one field, or of every field of a list (all or nothing:
 * an unknown field in the list fails with 62 and changes nothing).  1 on success,
 * also when there was no value; 0 on failure (3, 23, 62, 80). */
int ZqwDbUnsetFieldValue(ZqwObjectId object, ZqwFieldId field);
int ZqwDbUnsetFieldValues(ZqwObjectId object, const ZqwFieldIdList *fields);

/* ---- lists --------------------------------------------------------------------- */

/* The objects whose field equals value.  Null on failure (3, 23, 62, 64). */
ZqwObjectIdList *ZqwDbListObjectsByFieldValue(ZqwFieldId field, const ZqwFieldValue *value);
/* The objects for which every binding holds (count 0 or above 32: failure 3).
 * The cost grows with the matches of the most selective binding. */
ZqwObjectIdList *ZqwDbListObjectsByFieldValues(const ZqwFieldBindList *bindings);
void ZqwDbFreeObjectIdList(ZqwObjectIdList *list);
void ZqwDbFreeFieldBindList(ZqwFieldBindList *list);

/* ---- map services ----------------------------------------------------------------
 *
 * MAPS AND SYMBOLS
 *   Maps, symbols, per-map object status, symbol types, application
 *   configuration values and saved positions live in the topology database
 *   beside the objects.  A map holds at most one node symbol per object; a node
 *   symbol may hold component symbols (a component names its parent node symbol).
 *   The map program keeps the map "default" with a node symbol for every object
 *   whose isNode is TRUE.
 *
 *   Map status values: 0 unset, 1 Unknown, 2 Normal, 3 Marginal, 4 Critical,
 *   5 Unmanaged, 6 Warning, 7 Major.  The status a symbol shows follows its
 *   status source:
 *     1 object    the status set on its object for that map (ZqwSetStatusOnObject);
 *                 for a node object that nothing has set, its "IP Status"
 *                 (Normal 2, Marginal 3, Critical 4, Unmanaged 5, else 1);
 *                 otherwise 1;
 *     2 compound  the most severe status of its component symbols, unmanaged ones
 *                 left out (Critical > Major > Marginal > Warning > Normal >
 *                 Unknown); with none, as for source 1;
 *     3 symbol    the status set on the symbol itself (1 until one is set).
 *   A symbol that the operator unmanaged shows 5 whatever its source.
 *   Symbol behaviours: 1 explodable (opening it shows its components), 2
 *   executable (opening it runs its action).
 *
 * APPLICATIONS
 *   A map application is a program the map program starts from a registration
 *   in $ZQ_ROOT/registration (format: zq/README.md).  _ZqwInit connects it over
 *   the map program's socket; callbacks run only from inside ZqwProcessEvent,
 *   called when ZqwFileDescriptor() is readable.  The registration decides which
 *   actions the application may take callbacks for (else 32) and which symbol
 *   types exist (else 121).
 *
 *   Map sync: every change between ZqwBeginMapSync and ZqwEndMapSync is one
 *   transaction, seen by other processes and by the pages at ZqwEndMapSync.
 *   Syncs nest; only the outermost End commits.  Outside a sync each call is
 *   its own transaction.  The outermost Begin takes the database's write lock
 *   (so no write inside can fail on what another process wrote meanwhile):
 *   other writers wait until the End, so keep syncs short.  A call inside a
 *   sync that fails on a check (3, 30, 32, 80, 82, 92, 121, 141 ...) leaves the
 *   sync intact; one that fails after it changed something (a failing disk)
 *   spoils it, and the End then rolls every change back and fails with 23.
 *
 *   Read-only maps (read_only 1) refuse every change of symbols and statuses
 *   with 3.  Every symbol change is recorded in the database's change log, from
 *   which the map program redraws the pages.
 *
 * OWNERSHIP
 *   Every record returned here is the caller's and is freed with the matching
 *   ZqwFree* call (ZqwFreeMapInfo, ZqwFreeSymbolInfo, ZqwFreeSymbolList,
 *   ZqwFreeObjectList; configuration values with ZqwDbFreeFieldBindList).  The
 *   records handed to callbacks belong to the library and are freed after the
 *   callback returns.  Texts in records are heap copies.
 *
 * RESULTS
 *   Calls returning int give 1 on success and -1 on failure (ZqwError tells why),
 *   except ZqwAddCallback, ZqwRemoveCallback, ZqwAddActionCallback (0 success,
 *   -1 failure) and ZqwFileDescriptor (a descriptor, -1 on failure).  A call that
 *   needs the map program fails with 30 when this process is not connected.
 */

typedef uint32_t ZqwSymbolId;   /* 0 is no symbol */

/* Map status values and symbol status sources / behaviours. */
#define ZQW_STATUS_UNSET      0
#define ZQW_STATUS_UNKNOWN    1
#define ZQW_STATUS_NORMAL     2
#define ZQW_STATUS_MARGINAL   3
#define ZQW_STATUS_CRITICAL   4
#define ZQW_STATUS_UNMANAGED  5
#define ZQW_STATUS_WARNING    6
#define ZQW_STATUS_MAJOR      7

#define ZQW_SOURCE_OBJECT     1
#define ZQW_SOURCE_COMPOUND   2
#define ZQW_SOURCE_SYMBOL     3

#define ZQW_BEHAVIOR_EXPLODABLE  1
#define ZQW_BEHAVIOR_EXECUTABLE  2

/* Map events (ZqwAddCallback). */
#define ZQW_EVENT_EXIT                  1   /* the map program is ending */
#define ZQW_EVENT_MAP_OPEN              3   /* another map was opened */
#define ZQW_EVENT_QUERY_APP_CONFIG      5   /* verify a configuration change */
#define ZQW_EVENT_CONFIRM_APP_CONFIG    6   /* a configuration change was stored */
#define ZQW_EVENT_DELETE_OBJECTS        15  /* the operator deletes objects */
#define ZQW_EVENT_CONFIRM_CREATE_SYMBOLS 17 /* symbols were created for matching objects */
#define ZQW_EVENT_CONFIRM_MANAGE_OBJECTS 21 /* the operator managed objects again */

/* Connects this process, started by the map program as a registered
 * application, to the map program (its socket and application name come in the
 * environment: ZQW_SOCKET, ZQW_APP) and opens the database.  version is 7.
 * 0 on success; negative on failure: 30 when there is no map program to
 * connect to (not started by it, or it is not running), 23 when the database
 * cannot be opened. */
int  _ZqwInit(int version);
/* Ends the session with the map program (the map program then sees this
 * application end its session) and closes the database. */
void ZqwDone(void);

/* The map open in the map program.  name first: map applications rely on it. */
typedef struct ZqwMapInfo {
    char    *name;        /* heap copy, freed by ZqwFreeMapInfo */
    int      read_only;   /* 1: applications leave this map unchanged */
    uint32_t map_id;
} ZqwMapInfo;

/* One symbol of a map.  status: the status it shows (see above); 5 when the
 * operator unmanaged it. */
typedef struct ZqwSymbolInfo {
    ZqwSymbolId symbol;
    ZqwObjectId object;
    char       *type;          /* symbol type name, heap copy */
    char       *label;         /* heap copy, may be null */
    int         status;
    int         status_source; /* 1 object, 2 compound, 3 symbol */
    int         behavior;      /* 1 explodable, 2 executable */
    ZqwSymbolId parent;        /* the node symbol of a component symbol, else 0 */
} ZqwSymbolInfo;

typedef struct ZqwSymbolList {
    unsigned int   count;
    ZqwSymbolInfo *entries;    /* in symbol id order */
} ZqwSymbolList;

/* One object of a map.  state (the sixth field): in event 15, 2 marks an object
 * the operator deletes (it may be deleted), 1 one that stays; 0 elsewhere. */
typedef struct ZqwObjectInfo {
    ZqwObjectId object;
    ZqwSymbolId symbol;        /* its node symbol on the map, or 0 */
    char       *selection_name;/* heap copy, may be null */
    char       *hostname;      /* heap copy, may be null */
    int         status;        /* the status its node symbol shows, or 0 */
    int         state;
} ZqwObjectInfo;

typedef struct ZqwObjectList {
    unsigned int   count;
    ZqwObjectInfo *entries;    /* in object id order */
} ZqwObjectList;

/* ---- map information ---- */

/* A copy of the map open now: null with 30 when not connected, 23 when the
 * database was lost. */
ZqwMapInfo    *ZqwGetMapInfo(void);
/* A copy of a map information record (null with 3 for null). */
ZqwMapInfo    *ZqwCopyMapInfo(const ZqwMapInfo *map);
void           ZqwFreeMapInfo(ZqwMapInfo *map);

/* ---- symbols ---- */

/* A symbol of the map: null with 3 (no map), 141 (no such symbol on the map),
 * 23.  Works without the map program (the database alone is enough). */
ZqwSymbolInfo *ZqwGetSymbolInfo(const ZqwMapInfo *map, ZqwSymbolId symbol);
void           ZqwFreeSymbolInfo(ZqwSymbolInfo *info);

/* The symbols of an object on the map (node and component symbols): null with
 * 3, 80 (no such object), 82 (no symbol on this map), 23. */
ZqwSymbolList *ZqwGetSymbolsByObject(const ZqwMapInfo *map, ZqwObjectId object);
void           ZqwFreeSymbolList(ZqwSymbolList *list);

/* The objects that have a node symbol on the map and for which every binding of
 * filter holds (null filter or count 0: all).  An empty result is a list with
 * count 0.  Null with 3, 62 (a binding names no field), 64, 23. */
ZqwObjectList *ZqwListObjectsOnMap(const ZqwMapInfo *map, const ZqwFieldBindList *filter);
void           ZqwFreeObjectList(ZqwObjectList *list);

/* Map sync (see above).  1 / -1 (3 no map, or an End without a Begin; 23). */
int ZqwBeginMapSync(const ZqwMapInfo *map);
int ZqwEndMapSync(const ZqwMapInfo *map);

/* A component symbol of object inside the node symbol of parent on the map,
 * with its type, label (null: none), status (set on the object for that map),
 * status source and behaviour (0: explodable).  flags must be 0.  The new
 * symbol's id; 0 on failure: 3, 80 (no such object), 82 (parent has no node
 * symbol on the map), 121 (type not registered), 23.  A read-only map (3).
 * A nonzero status is set on the object for the map (as ZqwSetStatusOnObject);
 * for status source 3 it is also the symbol's own status. */
ZqwSymbolId ZqwCreateComponentSymbol(const ZqwMapInfo *map, ZqwObjectId parent,
                                     ZqwObjectId object, const char *type,
                                     const char *label, int status, int status_source,
                                     int behavior, unsigned int flags);
/* Deletes a symbol (a node symbol with its components).  1 / -1: 3, 141 no such
 * symbol, 23. */
int ZqwDeleteSymbol(const ZqwMapInfo *map, ZqwSymbolId symbol);

/* Symbol attributes.  -1 with 3, 141 (no such symbol), 92 (it already has that
 * value: nothing changed), 23; ZqwSetSymbolType also 121 (type not registered:
 * no registration's symbol_type pattern matches it).  arg must be 0.  A null
 * label removes the label. */
int ZqwSetSymbolType(const ZqwMapInfo *map, ZqwSymbolId symbol, const char *type, int arg);
int ZqwSetSymbolLabel(const ZqwMapInfo *map, ZqwSymbolId symbol, const char *label);
int ZqwSetSymbolStatusSource(const ZqwMapInfo *map, ZqwSymbolId symbol, int source);
/* Sets the status a symbol of source 3 shows (0-7). */
int ZqwSetSymbolStatus(const ZqwMapInfo *map, ZqwSymbolId symbol, int status);
/* Behaviour 1 or 2; for 2 the action that opening the symbol runs: an action
 * of application app, run on objects (null: the symbol's object).  -1 with 30
 * (no such application), 32 (no such action), 3, 141, 92, 23.  Behaviour 1
 * drops any action (app and action are then not looked at). */
int ZqwSetSymbolBehavior(const ZqwMapInfo *map, ZqwSymbolId symbol, int behavior,
                         const char *app, const char *action,
                         const ZqwObjectIdList *objects);
/* Removes what applications attached to a symbol (its action and behaviour,
 * back to explodable).  -1 with 3, 141, 23. */
int ZqwClearSymbolApp(const ZqwMapInfo *map, ZqwSymbolId symbol);
/* Sets the status of an object on the map (0-7, 0 removes it; seen by its
 * symbols of status source 1).  The object needs no symbol on the map.  -1 with
 * 3, 80, 23. */
int ZqwSetStatusOnObject(const ZqwMapInfo *map, ZqwObjectId object, int status);

/* ---- callbacks ---- */

/* A map event.  event_data: null for 1 and 3; a ZqwFieldBindList of the
 * configuration values for 5 and 6; a ZqwObjectList for 15 and 21; a
 * ZqwSymbolList of the new symbols for 17.  map is the open map. */
typedef void (*ZqwCallbackProc)(void *data, int event, ZqwMapInfo *map, void *event_data);

/* An action run by the operator on a selection of objects (in selection
 * order); argc/argv are the action's arguments from the registration. */
typedef void (*ZqwActionCallbackProc)(void *data, const char *action,
                                      const char *menu_item,
                                      ZqwObjectIdList *selection,
                                      int argc, char **argv, ZqwMapInfo *map);

/* Registers callback for event.  For event 17 filter is the field-binding
 * list the new symbols' objects must match (every condition; copied, the
 * caller frees its own); one registration is one delivery per batch of new
 * symbols.  Other events take no filter.  0 on success; -1 with 3 (unknown
 * event or null callback), 30 (not connected), 62/64 (bad filter). */
int ZqwAddCallback(int event, const ZqwFieldBindList *filter,
                   ZqwCallbackProc callback, void *data);
/* Removes the registrations of event (with filter: only that one).  0 / -1. */
int ZqwRemoveCallback(int event, const ZqwFieldBindList *filter);
/* Registers callback for an action of this application's registration.
 * 0 on success; -1 with 32 (the registration has no such action), 30, 3. */
int ZqwAddActionCallback(const char *action, ZqwActionCallbackProc callback, void *data);

/* The descriptor to select on for map events; -1 with 30 when not connected. */
int ZqwFileDescriptor(void);
/* Reads what the map program sent and runs the callbacks it calls for; returns
 * without waiting when nothing is there.  0 or more on success; negative when
 * the map program is gone (30) or sent something unreadable. */
int ZqwProcessEvent(void);

/* ---- application configuration ---- */

/* The name of this application (static text; null when not connected). */
const char *ZqwGetAppName(void);
/* The stored configuration values of application app for the map: one entry
 * per configuration field of its registration, in registration order, with its
 * value (a field with no stored value: false, 0 or the empty text).  Free with
 * ZqwDbFreeFieldBindList.  app null: this application.  Null with 30 (app is
 * not registered, or null and this process is not connected), 3, 23.  Works
 * without the map program. */
ZqwFieldBindList *ZqwGetAppConfigValues(const ZqwMapInfo *map, const char *app);
/* Stores this application's configuration values for the map (all or none;
 * also on a read-only map: they are no part of its drawing).  -1 with 3, 62
 * (not a configuration field of the application), 64, 70, 30 (not
 * connected), 23. */
int ZqwSetAppConfigValues(const ZqwMapInfo *map, const ZqwFieldBindList *values);
/* The answer to event 5: accept (1) or refuse (0) the change, with a message for
 * the operator (any length; null: none).  values may be null.  -1 with 30, or 3
 * when no verification is pending. */
int ZqwVerifyAppConfigChange(const ZqwMapInfo *map, const ZqwFieldBindList *values,
                             int accept, const char *message);

/* ---- end of map services ---------------------------------------------------------- */

#ifdef __cplusplus
}
#endif

#endif /* ZQW_H */
