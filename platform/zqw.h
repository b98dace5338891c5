/*
 * zqw.h - the platform's topology database and map library.
 *
 * DATABASE
 *   One SQLite file per instance, $ZQ_ROOT/db/topology.db (WAL mode), shared by
 *   every process of the instance.  ZqwDbInit opens it; it never creates it (only
 *   zqsetup does).  Each call is its own transaction; a database that another
 *   process holds busy is waited for, never reported as a failure.
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
/* Deletes the object and every value it has.  1 on success, -1 on failure (3 for
 * the null id, 80 for an unknown object). */
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
 * The map half of the library (maps, symbols, callbacks, the application socket)
 * is added with the map program; its declarations go here. */

/* Connects a map application to the map program.  Negative on failure; until the
 * map program exists it always fails (-1, error 30). */
int  _ZqwInit(int version);
void ZqwDone(void);

typedef uint32_t ZqwSymbolId;   /* 0 is no symbol */

/* The map open in the map program.  name first: map applications rely on it. */
typedef struct ZqwMapInfo {
    char    *name;        /* heap copy, freed by ZqwFreeMapInfo */
    int      read_only;   /* 1: the application leaves this map unchanged */
    uint32_t map_id;
} ZqwMapInfo;

/* One symbol of a map.  status: 0 unset, 1 Unknown, 2 Normal, 3 Marginal,
 * 4 Critical, 5 Unmanaged, 6 Warning, 7 Major. */
typedef struct ZqwSymbolInfo {
    ZqwSymbolId symbol;
    ZqwObjectId object;
    char       *type;          /* symbol type name, heap copy */
    char       *label;         /* heap copy, may be null */
    int         status;
    int         status_source; /* 1 object, 2 compound, 3 symbol */
    int         behavior;      /* 1 explodable, 2 executable */
} ZqwSymbolInfo;

/* The open map of a connected map application: null with error 30 when this
 * process is not connected to the map program. */
ZqwMapInfo    *ZqwGetMapInfo(void);
void           ZqwFreeMapInfo(ZqwMapInfo *map);
/* A symbol of the map: null with error 3 (no map) or 141 (no such symbol). */
ZqwSymbolInfo *ZqwGetSymbolInfo(const ZqwMapInfo *map, ZqwSymbolId symbol);
void           ZqwFreeSymbolInfo(ZqwSymbolInfo *info);

/* ---- end of map services ---------------------------------------------------------- */

#ifdef __cplusplus
}
#endif

#endif /* ZQW_H */
