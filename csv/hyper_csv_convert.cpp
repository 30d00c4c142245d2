// HyperCSV's field conversion: the column's expression, then the column's
// type. A field that cannot be converted leaves its slot empty and an error
// on the row and in the run's list; the run goes on.
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "common/error_codes.h"
#include "csv/csv_scan.h"
#include "csv/hyper_csv.h"
#include "dirbase/any.h"
#include "script/date.h"
#include "script/error.h"
#include "script/operators.h"
#include "script/parser.h"
#include "script/varset.h"

namespace {

// The message with its texts quoted as given; any length.
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    va_list again;
    va_copy(again, args);
    int n = vsnprintf(nullptr, 0, fmt, args);
    va_end(args);
    std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0) vsnprintf(&text[0], static_cast<size_t>(n) + 1, fmt, again);
    va_end(again);
    return text;
}

bool isText(const Any* v) {
    return !v->isEncoded() && (v->getType() == ANY_STRING || v->getType() == ANY_CHAR);
}

// The Date object a value holds or refers to, if any.
const Date* dateObject(const Any* value) {
    if (value->isEncoded()) return nullptr;
    const Translatable* object = value->getType() == ANY_REFERENCE ? value->getReferenced()
                                 : value->getType() == OBJ_DATE_ID ? value->value.object
                                                                   : nullptr;
    return dynamic_cast<const Date*>(object);
}

}  // namespace

bool HyperCSV::dateFromText(const char* text, long long* ms) const {
    if (strcmp(text, "0") == 0) {
        *ms = 0;
        return true;
    }
    // Read exactly as the script's Date.parse reads it: a text without a
    // zone takes the current offset of the zone the scope names (TZ), and
    // the host's conversion hook decides that offset when it has one.
    const char* zone = Date::zoneOf(dynamic_cast<AbstractVarSet*>(_scope->get()));
    return DatePrototype::parseText(text, zone, ms, nullptr, nullptr) == 0;
}

void HyperCSV::convertField(CSVResultRow* row, CSVRow* def) {
    const int slot = def->outputColumn - 1;
    if (slot >= 0 && static_cast<size_t>(slot) < _slotLine.size()) _slotLine[static_cast<size_t>(slot)] = _lineSerial;
    // Trailing white space is not part of the value.
    size_t length = _fieldLength;
    const char* base = fieldText();
    while (length > 0 && csvIsBlank(static_cast<unsigned char>(base[length - 1]))) length--;
    _field[length] = '\0';
    const char* text = _field;
    const int in = def->inputColumn;
    const int out = def->outputColumn;

    auto fail = [&](int type, int code, const std::string& message) {
        Error* e = makeError(type, code, message.c_str(), _at.line, _at.column);
        appendError(new Error(*e));
        row->addError(e);
        row->set(slot, nullptr);
    };
    auto traced = [&] {
        if (_taskLog != nullptr && _config->debugLevel < 3) {
            trace("[%lld, %lld]: Column: %d -> %d, value = %s\n", _at.line, _at.column, in, out, text);
        }
    };

    if (def->expression == nullptr) {
        // Straight from the field's bytes into the row's own value.
        switch (def->type) {
        case CSV_TYPE_DOUBLE: {
            double d = 0.0;
            if (!Any::textToDouble(text, d)) d = 0.0;
            row->setDouble(slot, d);
            break;
        }
        case CSV_TYPE_DATE:
        case CSV_TYPE_TIMESTAMP: {
            long long ms = 0;
            if (!dateFromText(text, &ms)) {
                fail(Error::EvalError, DirError::E_NOT_CONVERTIBLE,
                     format("Unable to convert '%s' to date [CSV: %d, DB: %d]", text, in, out));
                return;
            }
            row->setDate(slot, ms);
            break;
        }
        default:
            row->setText(slot, text, length);
            break;
        }
        traced();
        return;
    }

    Any* value;
    if (def->parser == nullptr || def->parser->getExpression() == nullptr) {
        fail(Error::EvalError, DirError::E_SYNTAX, "Unable to parse script");
        return;
    }
    AbstractVarSet* vars = dynamic_cast<AbstractVarSet*>(_scope->get());
    if (vars != nullptr) vars->define("VALUE", new Any(text));
    value = nullptr;
    if (!def->parser->executeExpression(_principal, _scope, &value)) {
        delete value;
        const Error* e = def->parser->getError();
        if (e != nullptr) {
            appendError(new Error(*e));
            row->addError(new Error(*e));
        } else {
            Error* made = makeError(Error::EvalError, DirError::E_SYNTAX, "Unable to run script", _at.line, _at.column);
            appendError(new Error(*made));
            row->addError(made);
        }
        // The next field runs the same expression afresh.
        def->parser->recover();
        row->set(slot, nullptr);
        return;
    }
    if (value == nullptr) value = new Any();

    switch (def->type) {
    case CSV_TYPE_STRING:
        if (!isText(value)) {
            // A number, a boolean or an object becomes the text a script
            // would print for it; only a value without a bounded text
            // (an array that holds itself) has none.
            char* converted = plainText(def->parser, *value);
            if (converted == nullptr) {
                delete value;
                fail(Error::EvalError, DirError::E_NOT_CONVERTIBLE,
                     format("Unable to convert value '%s' to string [CSV: %d, DB: %d]", text, in, out));
                return;
            }
            value->set(converted);
            free(converted);
        }
        break;
    case CSV_TYPE_DOUBLE: {
        double d = 0.0;
        if (!value->convertToDouble(def->parser, d)) d = 0.0;
        delete value;
        value = new Any(d);
        break;
    }
    case CSV_TYPE_DATE:
    case CSV_TYPE_TIMESTAMP: {
        if (!value->isEncoded() && value->getHint() == HINT_DATE &&
            (value->getType() == ANY_INT64 || value->getType() == ANY_INT32))
            break;
        long long ms = 0;
        if (value->getType() == ANY_NULL || value->getType() == ANY_UNDEFINED ||
            (value->getType() == ANY_REFERENCE && value->getReferenced() == nullptr)) {
            delete value;
            fail(Error::EvalError, DirError::E_NOT_CONVERTIBLE, format("NULL date [CSV: %d, DB: %d]", in, out));
            return;
        }
        bool ok;
        std::string shown;
        if (const Date* date = dateObject(value)) {
            ms = date->getTime();
            ok = true;
        } else if (value->getType() == ANY_REFERENCE) {
            // Some other object: not a date.
            ok = false;
            shown = text;
        } else {
            char* converted = nullptr;
            ok = isText(value) ? (converted = strdup(value->getString() != nullptr ? value->getString() : "")) != nullptr
                               : value->convertToString(def->parser, converted) && converted != nullptr;
            shown = converted != nullptr ? converted : text;
            if (ok) ok = dateFromText(converted, &ms);
            free(converted);
        }
        delete value;
        if (!ok) {
            fail(Error::EvalError, DirError::E_NOT_CONVERTIBLE,
                 format("Unable to convert '%s' to date [CSV: %d, DB: %d]", shown.c_str(), in, out));
            return;
        }
        value = Any::makeDate(ms);
        break;
    }
    default:
        break;
    }
    traced();
    row->set(slot, value);
}
