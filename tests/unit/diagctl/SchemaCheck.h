/* SPDX-License-Identifier: Apache-2.0 */
// Checks diagctl's JSON records against tools/diagctl/record.schema.json
// with RapidJSON's JSON Schema (draft-04) validator.
#ifndef TESTS_UNIT_DIAGCTL_SCHEMACHECK_H
#define TESTS_UNIT_DIAGCTL_SCHEMACHECK_H

#include <rapidjson/document.h>
#include <rapidjson/schema.h>
#include <rapidjson/stringbuffer.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>

namespace testsupport {

// "" when the record fits the schema, else what is wrong and where (or that
// the schema cannot be read).
inline std::string CheckRecord(const rapidjson::Document &record) {
    static const std::unique_ptr<rapidjson::SchemaDocument> schema = [] {
        std::stringstream text;
        text << std::ifstream(DIAGCTL_RECORD_SCHEMA).rdbuf();
        rapidjson::Document d;
        return d.Parse(text.str().c_str()).HasParseError()
                   ? nullptr
                   : std::make_unique<rapidjson::SchemaDocument>(d);
    }();
    if (schema == nullptr) return "cannot read " DIAGCTL_RECORD_SCHEMA;
    rapidjson::SchemaValidator v(*schema);
    if (record.Accept(v)) return "";
    rapidjson::StringBuffer where, rule;
    v.GetInvalidSchemaPointer().StringifyUriFragment(rule);
    v.GetInvalidDocumentPointer().StringifyUriFragment(where);
    return std::string("at ") + where.GetString() + ": fails " + rule.GetString() + " (" +
           v.GetInvalidSchemaKeyword() + ")";
}
inline std::string CheckRecord(const std::string &line) {
    rapidjson::Document d;
    return d.Parse(line.c_str()).HasParseError() ? "not JSON" : CheckRecord(d);
}

}  // namespace testsupport

#endif
