#include "litedb/LiteStatement.h"

#include <sqlite3.h>

#include "litedb/LiteInternal.h"

LiteStatement::~LiteStatement() { close(); }

void LiteStatement::setStatement(sqlite3_stmt* statement) {
  _statement = statement;
  _parameterCount = statement ? sqlite3_bind_parameter_count(statement) : 0;
  forgetEngineHandleState();
}

void LiteStatement::reset() {
  if (sqlite3_stmt* stmt = statement()) sqlite3_reset(stmt);
  _inUse = false;
}

void LiteStatement::close() {
  // Finalising a statement the connection already finalised would free it twice.
  if (sqlite3_stmt* stmt = statement()) sqlite3_finalize(stmt);
  _statement = nullptr;
  forgetEngineHandleState();
  _inUse = false;
}

std::string LiteStatement::description() const {
  return litedb_internal::objectDescription("LiteStatement", this) + " " +
         std::to_string(_useCount) + " hit(s) for query " + query();
}
