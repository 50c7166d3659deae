// Storing an import: one transaction per file, so a row the store refuses
// leaves the earlier playbooks and variables as they were.
#include "run/playbook_import.h"

#include <gtest/gtest.h>

#include "base/errors.h"
#include "stores/database.h"
#include "support/test_support.h"

namespace vqflow {
namespace {

TEST(StoreImport, RefusedRowLeavesTheWholeFileUnstored) {
  test::TempDir dir;
  auto db = open_database(dir.file("import.db"));
  db->init_schema();
  db->table("workflow").insert(Row{{"uuid", "a"}, {"name", "before"}});

  ImportBatch batch = read_import_text(
      R"({"workflows": [{"uuid": "a", "name": "after"}, {"uuid": "b", "name": "new"}],
          "variables": [{"key": "k", "value": "v"}]})",
      "good.json");
  store_import(*db, batch);
  EXPECT_EQ(db->table("workflow").where("uuid", "a").first().value()["name"], "after");
  EXPECT_EQ(db->table("workflow").get().size(), 2u);
  EXPECT_EQ(db->table("variablen").get().size(), 1u);

  // A later row that the store refuses (made by hand here: text in an integer
  // column; a full disk or a lost connection fails a row the same way) fails
  // the file, and nothing of it is stored.
  batch.workflows[0]["name"] = "half";
  batch.workflows.push_back(Row{{"uuid", "c"}, {"status", "not a number"}});
  batch.variables[0]["value"] = "half";
  EXPECT_THROW(store_import(*db, batch), StoreError);
  EXPECT_EQ(db->table("workflow").where("uuid", "a").first().value()["name"], "after");
  EXPECT_FALSE(db->table("workflow").where("uuid", "c").first().has_value());
  EXPECT_EQ(db->table("variablen").get()[0]["value"], "v");
}

}  // namespace
}  // namespace vqflow
