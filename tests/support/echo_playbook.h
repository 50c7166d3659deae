#pragma once
#include <string>

#include "context/services.h"
#include "stores/database.h"
#include "support/test_support.h"

namespace vqflow::test {

// Gives `services` the app "echo" that the playbook calls: its manifest in the
// folder "apps" under `dir` (which becomes the apps folder), and a fake loader
// whose action "run" answers its first argument.
void add_echo_app(Services& services, const TempDir& dir);

// A workflow row: S -> A -> [U ->] B -> E, where A ("first") and B ("second")
// call the action "run" of the app "echo" (a FakeAppLoader app) and U is an
// audit node whose auditor is "auditor-7". Named "test playbook".
Row echo_playbook(const std::string& uuid, bool with_audit);

// The echo playbook (without audit unless asked), its nodes on the built-in
// app that does nothing (so that a real `vqflow` process can run it).
Row noop_playbook(const std::string& uuid, bool with_audit = false);

}  // namespace vqflow::test
