#pragma once
#include <string>

#include "platform/database.h"

namespace vqflow::test {

// A workflow row: S -> A -> [U ->] B -> E, where A ("first") and B ("second")
// call the action "run" of the app "echo" (a FakeAppLoader app) and U is an
// audit node whose auditor is "auditor-7". Named "test playbook".
Row echo_playbook(const std::string& uuid, bool with_audit);

}  // namespace vqflow::test
