// Progress, cancellation and errors of one analysis across its threads.
#pragma once

#include <atomic>
#include <exception>
#include <mutex>
#include <thread>

#include "engine/analysis.h"

namespace msdisf::detail {

/// The callbacks run on the thread that started the analysis only; the
/// others see a stop flag. Work is counted in the caller's own units.
class RunControl {
 public:
  RunControl(const AnalysisOptions& options, double total_work)
      : options_(options), total_(total_work > 0.0 ? total_work : 1.0), owner_(std::this_thread::get_id()) {}

  /// Records `work` units as done; on the calling thread, reports progress
  /// and asks whether to cancel.
  void advance(double work) {
    const double done = done_.fetch_add(work) + work;
    if (std::this_thread::get_id() != owner_) return;
    if (options_.progress) options_.progress(done < total_ ? done / total_ : 1.0);
    poll();
  }
  void poll() {
    if (std::this_thread::get_id() == owner_ && options_.cancelled && options_.cancelled()) stop_ = true;
  }
  /// Reports the end of the work, whatever the estimates added up to.
  void finish() {
    if (!stopped() && options_.progress) options_.progress(1.0);
  }
  bool stopped() const { return stop_.load(std::memory_order_relaxed); }

  /// Runs `body`, keeping the first exception it throws for rethrow() and
  /// stopping the other threads; for bodies inside parallel regions, which
  /// exceptions must not leave.
  template <typename Body>
  void guarded(Body&& body) noexcept {
    try {
      body();
    } catch (...) {
      const std::lock_guard<std::mutex> guard(lock_);
      if (!error_) error_ = std::current_exception();
      stop_ = true;
    }
  }
  /// Throws the kept exception, or kCancelled if the caller asked to stop.
  void rethrow() {
    if (error_) std::rethrow_exception(error_);
    if (stop_) throw AnalysisError(AnalysisError::Kind::kCancelled, "the analysis was cancelled");
  }

 private:
  const AnalysisOptions& options_;
  const double total_;
  const std::thread::id owner_;
  std::atomic<double> done_{0.0};
  std::atomic<bool> stop_{false};
  std::mutex lock_;
  std::exception_ptr error_;
};

}  // namespace msdisf::detail
