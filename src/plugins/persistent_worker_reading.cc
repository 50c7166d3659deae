#include <fmt/format.h>
#include <unistd.h>

#include <boost/asio/async_result.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <cerrno>

#include "plugins/persistent_worker.h"

// g++ 12 misreads the recycling allocator of Asio 1.18 coroutine frames.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

// The reading side of a persistent worker: the caller holding the reader
// role reads the worker's stdout through its own loop and hands the answers
// to their calls.
namespace vqflow {

namespace asio = boost::asio;

// The registration of stdout with the event loop of `executor`: the one
// kept from the last read when it was on the same loop, or a new one.
// Reader role only. Throws boost::system::system_error.
Registration& PersistentWorker::registration_for(const asio::any_io_executor& executor) {
  asio::execution_context& context = asio::query(executor, asio::execution::context);
  if (registration_ && registration_->context == &context) {
    std::lock_guard lock(registration_->mutex);
    if (registration_->descriptor) return *registration_;
  }
  if (registration_) registration_->drop();
  registration_.reset();
  auto registration = std::make_shared<Registration>();
  registration->context = &context;
  registration->descriptor = std::make_unique<Descriptor>(executor);
  registration->descriptor->assign(out_fd_);
  asio::use_service<RegistrationService>(context).add(registration);
  registration_ = std::move(registration);
  return *registration_;
}

// The registration to read through, or null when the worker was failed
// because its answers cannot be read on this loop.
Registration* PersistentWorker::reading_registration(const asio::any_io_executor& executor) {
  try {
    return &registration_for(executor);
  } catch (const boost::system::system_error& e) {
    fail(fmt::format("worker stopped: its answers cannot be read: {}", e.what()));
    return nullptr;
  }
}

// Reads what the pipe holds without waiting; true when `mine` is over or
// nobody is to read any more.
bool PersistentWorker::read_ready(const std::shared_ptr<WorkerSlot>& mine) {
  for (;;) {
    ssize_t n = ::read(out_fd_, read_buffer_.data(), read_buffer_.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;  // EAGAIN: wait for the answer
    if (n > 0) consume(static_cast<std::size_t>(n));
    std::lock_guard lock(mutex_);
    if (dead_ || mine->done) return true;
    if (n == 0) {
      mine->reader = false;  // see keep_reading
      return true;
    }
  }
}

// One read of the worker's stdout through the loop.
asio::awaitable<std::size_t> PersistentWorker::read_some(Registration* registration,
                                                         error_code& ec) {
  auto token = asio::redirect_error(asio::use_awaitable, ec);
  return asio::async_initiate<decltype(token), void(error_code, std::size_t)>(
      [](auto handler, PersistentWorker* worker, Registration* registration) {
        std::unique_lock lock(worker->mutex_);
        if (!worker->dead_) {
          std::lock_guard hold(registration->mutex);
          if (registration->descriptor) {
            registration->descriptor->async_read_some(asio::buffer(worker->read_buffer_),
                                                      std::move(handler));
            return;
          }
        }
        lock.unlock();
        auto ex = asio::get_associated_executor(handler);
        asio::post(ex, [handler = std::move(handler)]() mutable {
          handler(error_code(asio::error::operation_aborted), std::size_t{0});
        });
      },
      token, this, registration);
}

// Takes in what a read brought; false when `mine` is over or nobody is to
// read any more.
bool PersistentWorker::keep_reading(const std::shared_ptr<WorkerSlot>& mine, std::size_t n,
                                    error_code ec) {
  if (n > 0) consume(n);  // after a failure the answers only find no calls
  std::lock_guard lock(mutex_);
  if (dead_ || mine->done) return false;
  if (ec) {
    // At the end of stdout the exit watcher says what happened; nobody
    // reads any more.
    mine->reader = false;
    return false;
  }
  return true;
}

// Splits what was read into answer lines.
void PersistentWorker::consume(std::size_t n) {
  const std::string_view bytes(read_buffer_.data(), n);
  if (lines_.feed(bytes, [this](std::string_view line) { return handle_line(line); }) ==
      AnswerLineSplitter::Fed::too_long)
    fail(lines_.too_long_message());
}

// False when the worker was failed.
bool PersistentWorker::handle_line(std::string_view line) {
  AnswerLine read = read_answer_line(line);
  if (read.kind == AnswerLine::Kind::blank) return true;
  if (read.kind == AnswerLine::Kind::fault) {
    fail(read.fault);
    return false;
  }
  Aftermath after;
  {
    std::lock_guard lock(mutex_);
    if (dead_) return false;
    auto found = pending_.find(read.id);
    if (found == pending_.end()) return true;  // not a call in flight: ignored
    std::shared_ptr<WorkerSlot> slot = std::move(found->second);
    pending_.erase(found);
    if (read.result) {
      slot->value = std::move(*read.result);
    } else {
      try {
        slot->value = interpret_worker_answer(std::move(read.envelope), slot->call->context);
      } catch (...) {
        slot->error = std::current_exception();
      }
    }
    slot->done = true;
    if (slot->wake) after.wakes.push_back(std::move(slot->wake));
    after_answer_locked(after);
  }
  settle(after);
  return true;
}

}  // namespace vqflow
