// The API document served at GET /api/openapi.json. Keep it next to the
// routing table in api.cc: a test checks that both name the same routes.
#include "server/api.h"

#include <string>

namespace vqflow {

const std::string& openapi_document() {
  static const std::string document = R"json({
  "openapi": "3.1.0",
  "info": {
    "title": "vqflow",
    "version": "1",
    "description": "Runs playbooks, streams their records and answers what is stored. Every /api/... path is also served under /api/v1/.... With a token configured every request but those of the console's own files (/ and /console/...) needs \"Authorization: Bearer <token>\"; the WebSocket upgrade may carry it as the query parameter access_token instead, as browsers cannot set its headers."
  },
  "components": {
    "securitySchemes": {"bearer": {"type": "http", "scheme": "bearer"}},
    "schemas": {
      "Error": {"type": "object", "properties": {"error": {"type": "string"}}, "required": ["error"]},
      "Started": {"type": "object", "properties": {"only_id": {"type": "string"}}, "required": ["only_id"]},
      "RunRequest": {
        "type": "object",
        "required": ["uuid"],
        "additionalProperties": false,
        "properties": {
          "uuid": {"type": "string"},
          "controller_data": {"type": ["object", "string"]},
          "data": {},
          "app_uuid": {"type": "string"},
          "audit_status": {"type": ["string", "integer"]},
          "audit_app": {"type": "string"},
          "only_id": {"type": "string"},
          "user": {"type": ["string", "integer"]},
          "start_app": {"type": "string"},
          "on_interrupt": {"type": "string", "enum": ["fail", "resume"], "description": "If the serving process dies: close the run as interrupted, or walk it again (default: the playbook's choice)"}
        }
      },
      "Decision": {
        "type": "object",
        "required": ["audit_app", "status"],
        "additionalProperties": false,
        "properties": {
          "audit_app": {"type": "string"},
          "status": {"type": ["string", "integer"], "description": "1 approve, 2 reject"},
          "user": {"type": ["string", "integer"]},
          "start_app": {"type": "string"}
        }
      },
      "Record": {"type": "object", "description": "One execution log record: only_id, uuid, app_uuid, app_name, result, status, html, args, create_time."},
      "Playbook": {
        "type": "object",
        "properties": {
          "uuid": {"type": "string"}, "name": {}, "remarks": {}, "status": {},
          "start_app": {}, "end_app": {}
        }
      },
      "PendingAudit": {
        "type": "object",
        "properties": {
          "uuid": {"type": "string"}, "playbook": {}, "only_id": {"type": "string"},
          "audit_app": {"type": "string"}, "approver": {}, "waiting_since": {}
        }
      }
    },
    "parameters": {
      "only_id": {"name": "only_id", "in": "path", "required": true, "schema": {"type": "string"}}
    },
    "responses": {
      "Refused": {"description": "Refused; the error says why.", "content": {"application/json": {"schema": {"$ref": "#/components/schemas/Error"}}}},
      "NoStore": {"description": "No relational store, or it failed.", "content": {"application/json": {"schema": {"$ref": "#/components/schemas/Error"}}}}
    }
  },
  "security": [{}, {"bearer": []}],
  "paths": {
    "/api/health": {
      "get": {
        "summary": "Store checks and the runs in progress",
        "responses": {
          "200": {"description": "Both stores answer.", "content": {"application/json": {"schema": {"type": "object"}}}},
          "503": {"description": "A store check failed, or the server is stopping.", "content": {"application/json": {"schema": {"type": "object"}}}}
        }
      }
    },
    "/api/runs": {
      "get": {
        "summary": "Runs, newest first",
        "parameters": [
          {"name": "playbook", "in": "query", "schema": {"type": "string"}},
          {"name": "state", "in": "query", "schema": {"type": "string", "enum": ["running", "waiting", "done", "failed", "aborted", "interrupted", "cancelled"]}},
          {"name": "limit", "in": "query", "schema": {"type": "integer", "minimum": 1, "maximum": 1000, "default": 50}}
        ],
        "responses": {
          "200": {"description": "The runs.", "content": {"application/json": {"schema": {"type": "array"}}}},
          "400": {"description": "A bad limit."}
        }
      },
      "post": {
        "summary": "Start a run, or deliver an audit decision",
        "requestBody": {"required": true, "content": {"application/json": {"schema": {"$ref": "#/components/schemas/RunRequest"}}}},
        "responses": {
          "202": {"description": "Submitted.", "content": {"application/json": {"schema": {"$ref": "#/components/schemas/Started"}}}},
          "400": {"$ref": "#/components/responses/Refused"},
          "404": {"$ref": "#/components/responses/Refused"},
          "409": {"$ref": "#/components/responses/Refused"},
          "503": {"$ref": "#/components/responses/Refused"}
        }
      }
    },
    "/api/runs/{only_id}": {
      "get": {
        "summary": "One run: state, playbook, started, ended, failed steps, reason and its records (nodes)",
        "parameters": [{"$ref": "#/components/parameters/only_id"}],
        "responses": {
          "200": {"description": "The run.", "content": {"application/json": {"schema": {"type": "object"}}}},
          "404": {"description": "No run with that only_id."}
        }
      }
    },
    "/api/runs/{only_id}/cancel": {
      "post": {
        "summary": "Ask the process running the run to cancel it (seen within about a second)",
        "parameters": [{"$ref": "#/components/parameters/only_id"}],
        "requestBody": {"required": false, "content": {"application/json": {"schema": {"type": "object", "properties": {"user": {"type": "string"}}}}}},
        "responses": {
          "202": {"description": "Cancel requested: {\"only_id\", \"state\": \"cancelling\"}."},
          "400": {"description": "A malformed body."},
          "404": {"description": "No run with that only_id."},
          "409": {"description": "The run is not running."}
        }
      }
    },
    "/api/runs/{only_id}/logs": {
      "get": {
        "summary": "The stored records of a run, in order",
        "parameters": [{"$ref": "#/components/parameters/only_id"}],
        "responses": {
          "200": {"description": "The records; [] for an unknown run.", "content": {"application/json": {"schema": {"type": "array", "items": {"$ref": "#/components/schemas/Record"}}}}},
          "400": {"$ref": "#/components/responses/Refused"},
          "503": {"$ref": "#/components/responses/NoStore"}
        }
      }
    },
    "/api/playbooks": {
      "get": {
        "summary": "The stored playbooks",
        "responses": {
          "200": {"description": "The playbooks.", "content": {"application/json": {"schema": {"type": "array", "items": {"$ref": "#/components/schemas/Playbook"}}}}},
          "503": {"$ref": "#/components/responses/NoStore"}
        }
      }
    },
    "/api/playbooks/{uuid}": {
      "get": {
        "summary": "One stored playbook with what the playbook checks find in it",
        "parameters": [{"name": "uuid", "in": "path", "required": true, "schema": {"type": "string"}}],
        "responses": {
          "200": {"description": "The workflow columns (documents parsed as JSON when they parse, id lists as arrays) and \"findings\": [{file, line, column, entry, playbook, node, member, severity, message}].", "content": {"application/json": {"schema": {"type": "object"}}}},
          "404": {"$ref": "#/components/responses/Refused"},
          "503": {"$ref": "#/components/responses/NoStore"}
        }
      }
    },
    "/api/timers/next": {
      "get": {
        "summary": "The next fire times of a five-field crontab text, as the timer service computes them",
        "parameters": [
          {"name": "crontab", "in": "query", "required": true, "schema": {"type": "string"}},
          {"name": "count", "in": "query", "schema": {"type": "integer", "minimum": 1, "maximum": 50, "default": 5}},
          {"name": "tz", "in": "query", "schema": {"type": "string", "description": "A zone name; default the server's local zone"}}
        ],
        "responses": {
          "200": {"description": "{\"crontab\", \"zone\", \"times\": [{\"at\": \"YYYY-MM-DD HH:MM:SS\", \"weekday\": \"Mon\"}]}", "content": {"application/json": {"schema": {"type": "object"}}}},
          "400": {"$ref": "#/components/responses/Refused"}
        }
      }
    },
    "/api/audits": {
      "get": {
        "summary": "The approvals runs wait for",
        "responses": {
          "200": {"description": "Pending audit rows, oldest first.", "content": {"application/json": {"schema": {"type": "array", "items": {"$ref": "#/components/schemas/PendingAudit"}}}}},
          "503": {"$ref": "#/components/responses/NoStore"}
        }
      }
    },
    "/api/audits/{only_id}/decision": {
      "post": {
        "summary": "Approve or reject the run waiting at an audit node",
        "parameters": [{"$ref": "#/components/parameters/only_id"}],
        "requestBody": {"required": true, "content": {"application/json": {"schema": {"$ref": "#/components/schemas/Decision"}}}},
        "responses": {
          "202": {"description": "Accepted; the run goes on.", "content": {"application/json": {"schema": {"$ref": "#/components/schemas/Started"}}}},
          "400": {"$ref": "#/components/responses/Refused"},
          "404": {"$ref": "#/components/responses/Refused"},
          "409": {"$ref": "#/components/responses/Refused"},
          "503": {"$ref": "#/components/responses/Refused"}
        }
      }
    },
    "/api/openapi.json": {
      "get": {
        "summary": "This document",
        "responses": {"200": {"description": "The OpenAPI document.", "content": {"application/json": {"schema": {"type": "object"}}}}}
      }
    },
    "/api/ws": {
      "get": {
        "summary": "WebSocket: start runs and watch their live records",
        "parameters": [{"name": "access_token", "in": "query", "schema": {"type": "string"}, "description": "The bearer token, for clients that cannot set the Authorization header of the upgrade (browsers)."}],
        "description": "Messages: {\"method\": \"run\", \"data\": RunRequest} starts a run and streams its records; {\"method\": \"subscribe\", \"data\": {\"only_id\": ...}} streams the records of a run of this process from then on.",
        "responses": {
          "101": {"description": "Switched to the WebSocket protocol."},
          "426": {"$ref": "#/components/responses/Refused"}
        }
      }
    },
    "/rpc": {
      "post": {
        "summary": "JSON-RPC 2.0 remote methods (timers)",
        "requestBody": {"required": true, "content": {"application/json": {"schema": {"type": ["object", "array"]}}}},
        "responses": {
          "200": {"description": "The JSON-RPC answer.", "content": {"application/json": {"schema": {"type": ["object", "array"]}}}},
          "204": {"description": "Only notifications: no answer."},
          "503": {"$ref": "#/components/responses/Refused"}
        }
      }
    },
    "/": {
      "get": {
        "summary": "The web console's page (no token needed; the page asks for it)",
        "security": [{}],
        "responses": {"200": {"description": "The page.", "content": {"text/html": {"schema": {"type": "string"}}}}, "304": {"description": "Not modified (If-None-Match)."}}
      }
    },
    "/console/{file}": {
      "get": {
        "summary": "A script, style sheet or image of the web console",
        "security": [{}],
        "parameters": [{"name": "file", "in": "path", "required": true, "schema": {"type": "string"}}],
        "responses": {"200": {"description": "The file."}, "304": {"description": "Not modified (If-None-Match)."}, "404": {"$ref": "#/components/responses/Refused"}}
      }
    },
    "/metrics": {
      "get": {
        "summary": "Counters and histograms of this process in the Prometheus text format",
        "responses": {
          "200": {"description": "The metrics.", "content": {"text/plain": {"schema": {"type": "string"}}}}
        }
      }
    }
  }
})json";
  return document;
}

HttpResponse Api::openapi(const HttpRequest&, const Params&) {
  HttpResponse out;
  out.body = openapi_document();
  return out;
}

}  // namespace vqflow
