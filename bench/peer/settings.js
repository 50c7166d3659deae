// Settings of the peer flow engine that scripts/bench.sh measures beside
// vqflow: no editor, no admin API, quiet logs, flows from bench/peer/flow.json.
module.exports = {
  uiHost: "127.0.0.1",
  httpAdminRoot: false,
  httpNodeRoot: "/",
  credentialSecret: false,
  logging: { console: { level: "warn", metrics: false, audit: false } },
  contextStorage: { default: { module: "memory" } },
};
