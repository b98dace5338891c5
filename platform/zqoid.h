/*
 * zqoid.h - the two enterprise arcs every OID of the system lies below.
 *
 * ENT  is the vendor's enterprise arc (default 1.3.6.1.4.1.64001, 7 sub-identifiers).
 * ZENT is the platform maker's arc    (default 1.3.6.1.4.1.64002).
 * Both are build-time constants (CMake cache variables ZQ_ENT and ZQ_ZENT).
 *
 * Use them as initialiser prefixes:
 *     static const ZqOid kReissued[] = { ZQ_ENT_SUBIDS, 1, 3, 1 };
 * and ZQ_ENT_LENGTH for the number of sub-identifiers of the arc itself.
 * ZQ_ENT_TEXT is the dotted text of the arc, without a leading dot.
 */
#ifndef ZQOID_H
#define ZQOID_H

#include <stdint.h>
#include "zqoid_config.h"

/* One OID sub-identifier: always 32 bits, unsigned. */
typedef uint32_t ZqOid;

#endif /* ZQOID_H */
