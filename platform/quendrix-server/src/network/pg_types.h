// The PostgreSQL types that clients see: the type of each result column, values
// in text or binary form, and parameters bound from either form.
#pragma once

#include <cstdint>
#include <string>

#include "internal.h"
#include "network/pg_wire.h"

struct sqlite3_stmt;

namespace qx {
namespace pg {

// Type OIDs of PostgreSQL's catalogue that drivers know by number.
enum TypeOid : int32_t {
    kUnspecified = 0,
    kBoolOid = 16,
    kByteaOid = 17,
    kCharOid = 18,
    kNameOid = 19,
    kInt8Oid = 20,
    kInt2Oid = 21,
    kInt4Oid = 23,
    kTextOid = 25,
    kOidOid = 26,
    kJsonOid = 114,
    kXmlOid = 142,
    kFloat4Oid = 700,
    kFloat8Oid = 701,
    kUnknownOid = 705,
    kBpcharOid = 1042,
    kVarcharOid = 1043,
    kInt2ArrayOid = 1005,
    kDateOid = 1082,
    kTimeOid = 1083,
    kTimestampOid = 1114,
    kTimestamptzOid = 1184,
    kNumericOid = 1700,
    kUuidOid = 2950,
    kJsonbOid = 3802,
};

// The type of a value: int8, float8, bytea or text (vectors show their printed
// form); kUnspecified for NULL.
int32_t value_type(qx_value v);

// The type of a result column: its declared type when that names one, else the
// type of its value in the first row (`first` null when there is no row: a null
// qx_value is the integer 0), else text. A column `name`d as one of the catalogue's
// flags (pg_index.indisunique, ...) that holds 't' or 'f' is a boolean, and one named
// as its arrays of column numbers (pg_constraint.conkey) an int2[], as drivers that
// read the catalogue need.
int32_t column_type(const char *declared, const qx_value *first, const char *name = nullptr);

// The length a row description gives a column of type `oid`: its values' fixed width in
// binary form, or -1 for a variable one.
inline int type_length(int32_t oid) {
    return oid == kInt8Oid || oid == kFloat8Oid ? 8 : oid == kBoolOid ? 1 : -1;
}

// Appends a value (not NULL) as a column of type `oid` sends it: text form, or
// binary form when `binary`.
void encode_value(std::string &out, qx_value v, int32_t oid, bool binary);

// Appends one column of a DataRow: -1 for NULL, else the length and bytes that
// encode_value writes. `scratch` is reused from column to column.
void append_column(Message &row, qx_value v, int32_t oid, bool binary, std::string &scratch);

// Binds parameter `index` of `stmt` from the client's bytes (`data` null: NULL),
// in text or binary form of type `oid`. False with a 22P02/22P03 error when the
// bytes are no value of that type. `number` names the parameter in messages.
bool bind_parameter(sqlite3_stmt *stmt, int index, int number, int32_t oid, bool binary,
                    const char *data, size_t length, SqlError *error);

}  // namespace pg
}  // namespace qx
