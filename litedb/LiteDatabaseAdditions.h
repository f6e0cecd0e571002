// LiteDatabaseAdditions: the types of the connection's further operations, for common
// small tasks: single-value queries, schema and pragma questions, the application id
// and user version, the compile check, custom SQL functions, version information and
// the (unsupported) database-key operations.
//
// The operations themselves are members of LiteDatabase (declared in LiteDatabase.h,
// defined in LiteDatabaseAdditions.cpp) and follow the connection's rules: they run
// through its query core, so its guards and messages apply to them.
//
// Thread-safety: like the connection they belong to, one thread at a time.
#pragma once

#include <functional>

struct sqlite3_context;
struct sqlite3_value;

// The body of a custom SQL function: it reads its arguments with the connection's
// value* accessors and sets the result with its result* ones. It runs inside the
// engine's step and must not run another statement on the same connection.
using LiteSQLiteFunctionBlock =
    std::function<void(sqlite3_context* context, int argc, sqlite3_value** argv)>;

// The error domain of validateSQLError, which reports through the general domain
// rather than the connection's own "LiteDatabase".
inline constexpr const char* LITE_GENERAL_ERROR_DOMAIN = "LiteGeneralErrorDomain";

// The layer's version, as LiteDatabase::LiteDBUserVersion reports it.
inline constexpr const char* LITE_DB_USER_VERSION = "2.7.5";
