#include "csv/csv_config.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/error_codes.h"
#include "common/log.h"
#include "dirbase/any.h"
#include "script/error.h"
#include "script/parser.h"

namespace {

char* copyOrNull(const char* text) {
    return text != nullptr ? strdup(text) : nullptr;
}

}  // namespace

CSVRow::CSVRow(int inputColumn, int outputColumn, int type, const char* expression)
    : inputColumn(inputColumn), outputColumn(outputColumn), type(type),
      expression(expression != nullptr && *expression != '\0' ? strdup(expression) : nullptr), parser(nullptr) {}

CSVRow::~CSVRow() {
    releaseParser();
    free(expression);
}

const Error* CSVRow::createParser(int debugLevel, ObjRef* scope) {
    releaseParser();
    if (expression == nullptr) return nullptr;
    char name[32];
    snprintf(name, sizeof name, "col-%d", outputColumn);
    parser = new Parser(name, expression, scope, 1, 0, false);
    if (debugLevel < _debug_sel) parser->setDebugLevel(debugLevel);
    if (parser->parse()) return nullptr;
    return parser->getError();
}

void CSVRow::releaseParser() {
    delete parser;
    parser = nullptr;
}

CSVConfig::CSVConfig(const char* inputPath, const char* taskLogPath, int debugLevel, const char* encoding,
                     const char* quote, const char* separator, int headerLines)
    : inputPath(copyOrNull(inputPath)), taskLogPath(copyOrNull(taskLogPath)), debugLevel(debugLevel),
      encoding(copyOrNull(encoding)), quote(copyOrNull(quote)), separator(copyOrNull(separator)),
      headerLines(headerLines) {}

CSVConfig::~CSVConfig() {
    for (CSVRow* row : rows) delete row;
    free(inputPath);
    free(taskLogPath);
    free(encoding);
    free(quote);
    free(separator);
}

void CSVConfig::addRow(CSVRow* row) {
    if (row != nullptr) rows.insert(rows.begin(), row);
}

CSVResultRow::CSVResultRow(int count) {
    if (count > 0) {
        // Sized once: the array would otherwise grow a slot at a time.
        _values.elements = static_cast<Any**>(calloc(static_cast<size_t>(count), sizeof(Any*)));
        _values.count = count;
    }
}

CSVResultRow::~CSVResultRow() {
    for (Error* e : _errors) delete e;
}

int CSVResultRow::set(int index, Any* value) {
    if (index < 0 || index >= _values.count) {
        delete value;
        return DirError::E_ILLEGAL_ARGUMENT;
    }
    delete _values.elements[index];
    _values.elements[index] = value;
    return 0;
}

void CSVResultRow::addError(Error* error) {
    if (error != nullptr) _errors.push_back(error);
}

void CSVResultRow::clearErrors() {
    for (Error* e : _errors) delete e;
    _errors.clear();
}

int CSVResultRow::setDouble(int index, double value) {
    Any* v = slot(index);
    if (v == nullptr) return DirError::E_ILLEGAL_ARGUMENT;
    v->setDouble(value);
    return 0;
}

int CSVResultRow::setDate(int index, long long ms) {
    Any* v = slot(index);
    if (v == nullptr) return DirError::E_ILLEGAL_ARGUMENT;
    v->setInt64(ms);
    v->setHint(HINT_DATE);
    return 0;
}

