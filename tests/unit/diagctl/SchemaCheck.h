/* SPDX-License-Identifier: Apache-2.0 */
// Checks diagctl's JSON records against tools/diagctl/record.schema.json
// with RapidJSON's JSON Schema (draft-04) validator.
#ifndef TESTS_UNIT_DIAGCTL_SCHEMACHECK_H
#define TESTS_UNIT_DIAGCTL_SCHEMACHECK_H

#include <rapidjson/document.h>
#include <rapidjson/schema.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>

namespace testsupport {

class RecordSchema {
  public:
    RecordSchema() {
        std::ifstream in(DIAGCTL_RECORD_SCHEMA);
        std::stringstream text;
        text << in.rdbuf();
        rapidjson::Document d;
        d.Parse(text.str().c_str());
        ok_ = in.good() && !d.HasParseError();
        schema_ = std::make_unique<rapidjson::SchemaDocument>(d);
    }
    bool loaded() const { return ok_; }

    // "" when line is a valid record, else what is wrong and where.
    std::string Check(const std::string &line) const {
        rapidjson::Document d;
        if (d.Parse(line.c_str()).HasParseError()) return "not JSON";
        return Check(d);
    }
    std::string Check(const rapidjson::Document &d) const {
        rapidjson::SchemaValidator v(*schema_);
        if (d.Accept(v)) return "";
        rapidjson::StringBuffer where, rule;
        v.GetInvalidSchemaPointer().StringifyUriFragment(rule);
        v.GetInvalidDocumentPointer().StringifyUriFragment(where);
        return std::string("at ") + where.GetString() + ": fails " + rule.GetString() + " (" +
               v.GetInvalidSchemaKeyword() + ")";
    }

  private:
    bool ok_ = false;
    std::unique_ptr<rapidjson::SchemaDocument> schema_;
};

}  // namespace testsupport

#endif
