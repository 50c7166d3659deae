// GET /api/timers/next: the fire times a crontab text would give, for a
// client that previews a timer before adding it.
#include <exception>
#include <optional>

#include "base/clock.h"
#include "scheduler/cron_preview.h"
#include "server/api.h"
#include "server/api_routes.h"

namespace vqflow {

namespace {

constexpr long long k_preview_count_default = 5;
constexpr long long k_preview_count_max = 50;

}  // namespace

HttpResponse Api::timers_next(const HttpRequest& request, const Params&) {
  const std::map<std::string, std::string> query = query_parameters(request.target);
  auto crontab = query.find("crontab");
  if (crontab == query.end() || crontab->second.empty()) {
    return error_response(400, "\"crontab\" is required: five fields, e.g. \"*/5 * * * *\"");
  }
  long long count = k_preview_count_default;
  if (auto it = query.find("count"); it != query.end()) {
    std::optional<long long> given = parse_integer(it->second);
    if (!given || *given < 1 || *given > k_preview_count_max) {
      return error_response(
          400, "\"count\" must be a number from 1 to " + std::to_string(k_preview_count_max));
    }
    count = *given;
  }
  try {
    auto tz = query.find("tz");
    const date::time_zone* zone =
        tz == query.end() || tz->second.empty() ? local_time_zone() : named_time_zone(tz->second);
    const TimePoint now = now_of(*(services_ ? services_->clock : real_clock()));
    Value times = Value::array();
    for (const FireTime& next :
         next_fire_times(crontab->second, now, zone, static_cast<int>(count))) {
      times.push_back(Value{{"at", next.local}, {"weekday", next.weekday}});
    }
    Value out = Value::object();
    out["crontab"] = crontab->second;
    out["zone"] = std::string(zone->name());
    out["times"] = std::move(times);
    return json_response(200, out);
  } catch (const std::exception& e) {
    // A crontab text or zone that does not parse: the message names the field.
    return error_response(400, e.what());
  }
}

}  // namespace vqflow
