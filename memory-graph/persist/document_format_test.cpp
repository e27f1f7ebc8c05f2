#include "document_format.h"

#include <gtest/gtest.h>

#include <string>

#include "reader_values.h"
#include "store/memory_edge.h"

namespace recall_mesh::persist {
namespace {

// The reader starts every entry from the table's defaults; they must be the record's own,
// or an entry loaded without its optional members would differ from one made in memory.
TEST(DocumentFormat, DefaultsAreTheRecordsOwn) {
  store::EdgeValues from_table;
  from_table.weight = 7.0f;
  from_table.salience = 7.0f;
  from_table.created_at = 7;
  reset_fields(from_table);
  const store::EdgeValues record;
  EXPECT_EQ(from_table.weight, record.weight);
  EXPECT_EQ(from_table.latency_tier, record.latency_tier);
  EXPECT_EQ(from_table.decay_resistance, record.decay_resistance);
  EXPECT_EQ(from_table.project_id, record.project_id);
  EXPECT_EQ(from_table.last_strengthened, record.last_strengthened);
  EXPECT_EQ(from_table.created_at, record.created_at);
  EXPECT_EQ(from_table.is_landmark, record.is_landmark);
  EXPECT_EQ(from_table.salience, record.salience);
  EXPECT_EQ(from_table.retrieval_count, record.retrieval_count);
  EXPECT_EQ(from_table.useful_count, record.useful_count);
}

TEST(DocumentFormat, KeyOrderAndSetters) {
  std::string keys;
  for (const std::size_t f : kFieldsByKey) keys += std::string(kFieldKeys[f]) + ",";
  EXPECT_EQ(keys,
            "created_at,decay_resistance,is_landmark,last_strengthened,latency_tier,project_id,"
            "retrieval_count,salience,useful_count,weight,");
  EXPECT_EQ(kRequiredFields, 5u);

  // Each setter writes its own field and no other.
  store::EdgeValues edge;
  std::string name;
  Scalar three;
  three.kind = Scalar::Kind::kUnsigned;
  three.u = 3;
  for (std::size_t f = 0; f < kFieldCount; ++f) {
    if (kFieldKinds[f] == FieldKind::kBool || kFieldKinds[f] == FieldKind::kName) continue;
    reset_fields(edge);
    EXPECT_FALSE(set_field(f, three, edge, name)) << kFieldKeys[f];
  }
  reset_fields(edge);
  ASSERT_FALSE(set_field(4, three, edge, name));  // last_strengthened
  EXPECT_EQ(edge.last_strengthened, 3u);
  EXPECT_EQ(edge.created_at, 0u);
  three.u = 256;
  EXPECT_EQ(set_field(1, three, edge, name).value_or(""),
            "invalid value: integer `256`, expected u8");
}

}  // namespace
}  // namespace recall_mesh::persist
