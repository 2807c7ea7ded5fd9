// The one layer between Python and the engine: numpy arrays in (float64
// C-contiguous arrays without a copy), one table of results out, engine
// errors mapped to Python exceptions (invalid input to a ValueError that
// names the rows it is about), the GIL released while computing.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <sys/mman.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <type_traits>

#include "engine/analysis.h"
#include "engine/option_text.h"
#include "engine/result_columns.h"
#include "engine/huge_pages.h"
#include "engine/msd_fit.h"
#include "engine/time_grid.h"

namespace py = pybind11;

namespace {

using Doubles = py::array_t<double, py::array::c_style | py::array::forcecast>;
using Integers = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;

template <typename T>
std::span<const T> view(const py::array_t<T, py::array::c_style | py::array::forcecast>& a) {
  return {a.data(), static_cast<std::size_t>(a.size())};
}

// An option's value as the engine reads it; ValueError naming the option otherwise.
template <class Parse>
auto parsed(const char* option, const std::string& text, const char* expected, Parse parse) {
  const auto value = parse(text);
  if (!value) throw py::value_error(std::string(option) + " must be " + expected + ", not '" + text + "'");
  return *value;
}

// A ValueError with the engine's message that also carries the input rows
// (counted from 0) it is about, as .record and .other_record (-1: none), so
// that the package can name the caller's own rows.
[[noreturn]] void raise_value_error(const msdisf::AnalysisError& error) {
  const py::object exception = py::reinterpret_borrow<py::object>(PyExc_ValueError)(error.what());
  exception.attr("record") = error.record;
  exception.attr("other_record") = error.other_record;
  PyErr_SetObject(PyExc_ValueError, exception.ptr());
  throw py::error_already_set();
}

// Calls back into Python at most every 50 ms, with the GIL held, from the
// thread that called analyse. A pending signal (Ctrl-C) cancels the run; the
// Python exception it raised is kept and raised again once the engine stops.
class Callbacks {
 public:
  explicit Callbacks(py::object progress) : progress_(std::move(progress)) {}

  bool due() {
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < std::chrono::milliseconds(50)) return false;
    last_ = now;
    return true;
  }
  void progress(double fraction) {
    if (progress_.is_none() || !due()) return;
    py::gil_scoped_acquire gil;
    try {
      progress_(fraction);
    } catch (py::error_already_set& error) {
      pending_.emplace(std::move(error));
    }
  }
  bool cancelled() {
    if (pending_) return true;
    if (!due()) return false;
    py::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() != 0) pending_.emplace();
    return pending_.has_value();
  }
  void raise_pending() {
    if (pending_) throw std::move(*pending_);
  }

 private:
  py::object progress_;
  std::chrono::steady_clock::time_point last_{};
  std::optional<py::error_already_set> pending_;
};

// The columns side by side in one column-major array, so that each column
// is one copy and pandas takes the block as is.
py::array_t<double, py::array::f_style> column_major(const std::vector<std::vector<double>*>& sources,
                                                     py::ssize_t rows) {
  const auto columns = static_cast<py::ssize_t>(sources.size());
  py::array_t<double, py::array::f_style> table({rows, columns});
  double* const data = table.mutable_data();
  // Huge pages, where the system allows them for the asking, spare the
  // copy most of its first-touch page faults.
  msdisf::detail::advise_huge_pages(data, static_cast<std::size_t>(rows * columns) * sizeof(double));
  {
    py::gil_scoped_release release;
#pragma omp parallel for schedule(static)
    for (std::size_t c = 0; c < sources.size(); ++c) {
      std::copy(sources[c]->begin(), sources[c]->end(), data + static_cast<py::ssize_t>(c) * rows);
    }
  }
  return table;
}

// A NumPy array over the vector's own memory, which it then owns: a result of
// millions of rows is handed over without a copy.
template <class T>
py::array_t<T> handed_over(std::vector<T>&& values) {
  auto* held = new std::vector<T>(std::move(values));
  const py::capsule owner(held, [](void* p) { delete static_cast<std::vector<T>*>(p); });
  return py::array_t<T>(static_cast<py::ssize_t>(held->size()), held->data(), owner);
}

// Results as one float64 table (rows x columns, named as result_columns
// names them), the lags and pair counts as int64 arrays. Takes the result's
// columns over.
py::dict to_python(msdisf::AnalysisResult& r) {
  const auto rows = static_cast<py::ssize_t>(r.rows());
  std::vector<std::vector<double>*> sources;
  py::list names;
  for (auto& [name, values] : msdisf::result_columns(r)) {
    names.append(name);
    sources.push_back(values);
  }
  msdisf::StandardErrors& e = r.errors;
  const auto columns = static_cast<py::ssize_t>(sources.size());
  py::dict out;
  if (columns == 1) {
    out["table"] = handed_over(std::move(*sources[0])).reshape({rows, py::ssize_t{1}});
  } else {
    out["table"] = column_major(sources, rows);
  }
  out["columns"] = names;
  static_assert(std::is_same_v<long, std::int64_t>);
  out["lag"] = handed_over(std::move(r.lag));
  out["pairs"] = handed_over(std::move(r.pairs));
  out["wave_numbers"] = r.wave_numbers;
  out["notes"] = r.notes;
  if (!e.empty())
    out["se_groups"] = py::array_t<std::int64_t>(rows, reinterpret_cast<const std::int64_t*>(e.groups.data()));
  return out;
}

py::dict analyse(const Doubles& x, const Doubles& y, const Integers& frame, const std::optional<Integers>& particle,
                 const std::string& lags, const std::vector<double>& wave_numbers, const std::string& estimator,
                 const std::string& method, const std::string& quantities, bool errors, int threads,
                 py::object progress) {
  static_assert(sizeof(long) == sizeof(std::int64_t));
  msdisf::AnalysisOptions options;
  options.pairs = parsed("estimator", estimator, msdisf::kPairRuleTexts, msdisf::pair_rule_from_text);
  options.lags = parsed("lags", lags, msdisf::kLagTexts, msdisf::lags_from_text);
  options.wave_numbers = wave_numbers;
  options.method = parsed("method", method, msdisf::kMethodTexts, msdisf::method_from_text);
  if (!quantities.empty()) {
    options.quantities = parsed("quantities", quantities, msdisf::kQuantityTexts, msdisf::quantities_from_text);
  }
  options.errors = errors;
  options.threads = threads;
  if (const auto problem = msdisf::options_problem(options)) throw py::value_error(*problem);
  Callbacks callbacks(std::move(progress));
  options.progress = [&callbacks](double f) { callbacks.progress(f); };
  options.cancelled = [&callbacks] { return callbacks.cancelled(); };
  const msdisf::TrajectoryData data{view(x), view(y), view(frame),
                                    particle ? view(*particle) : std::span<const std::int64_t>{}};
  std::optional<msdisf::AnalysisResult> result;
  std::optional<msdisf::AnalysisError> failure;
  double engine_seconds = 0.0;
  {
    py::gil_scoped_release release;
    try {
      const auto start = std::chrono::steady_clock::now();
      result.emplace(msdisf::analyse(data, options));
      engine_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    } catch (const msdisf::AnalysisError& error) {
      failure.emplace(error);
    }
  }
  callbacks.raise_pending();
  if (failure) {
    using Kind = msdisf::AnalysisError::Kind;
    switch (failure->kind) {
      case Kind::kTooLarge:
      case Kind::kOutOfMemory:
        PyErr_SetString(PyExc_MemoryError, failure->what());
        throw py::error_already_set();
      case Kind::kCancelled:
        PyErr_SetNone(PyExc_KeyboardInterrupt);
        throw py::error_already_set();
      case Kind::kInvalidInput:
      case Kind::kInvalidOptions:
        break;
    }
    raise_value_error(*failure);
  }
  py::dict out = to_python(*result);
  out["engine_seconds"] = engine_seconds;  // for the overhead benchmark
  return out;
}

py::dict fit(const Integers& lag, const Doubles& t, const Doubles& msd, const Doubles& msd_se, long first_lag,
             long last_lag) {
  if (t.size() != lag.size() || msd.size() != lag.size() || msd_se.size() != lag.size()) {
    throw py::value_error("lag, t, msd and msd_se must have the same length");
  }
  const auto lags = view(lag);
  const std::vector<long> frames(lags.begin(), lags.end());
  msdisf::MsdFit f;
  try {
    f = msdisf::fit_msd(frames, view(t), view(msd), view(msd_se), first_lag, last_lag);
  } catch (const msdisf::FitError& error) {
    throw py::value_error(error.what());
  }
  py::dict out;
  out["D"] = f.diffusion;
  out["D_se"] = f.diffusion_se;
  out["offset"] = f.offset;
  out["offset_se"] = f.offset_se;
  out["alpha"] = f.exponent;
  out["alpha_se"] = f.exponent_se;
  out["lags"] = py::make_tuple(f.first_lag, f.last_lag);
  out["points"] = f.points;
  return out;
}

// (frames, dt, inferred) of a column of times; dt <= 0 infers the step.
py::tuple frames_from_times(const Doubles& time, double dt) {
  std::optional<msdisf::TimeGrid> grid;
  std::optional<msdisf::AnalysisError> failure;
  {
    py::gil_scoped_release release;
    try {
      grid.emplace(msdisf::frames_from_times(view(time), dt));
    } catch (const msdisf::AnalysisError& error) {
      failure.emplace(error);
    }
  }
  if (failure) raise_value_error(*failure);
  return py::make_tuple(handed_over(std::move(grid->frame)), grid->dt, grid->inferred);
}

}  // namespace

PYBIND11_MODULE(_core, m) {
  m.doc() = "The msdisf analysis engine; use the functions of the msdisf package.";
  m.def("analyse", &analyse, py::arg("x"), py::arg("y"), py::arg("frame"), py::arg("particle"), py::arg("lags"),
        py::arg("wave_numbers"), py::arg("estimator"),
        py::arg("method"), py::arg("quantities"), py::arg("errors"), py::arg("threads"), py::arg("progress"));
  m.def("fit", &fit, py::arg("lag"), py::arg("t"), py::arg("msd"), py::arg("msd_se"), py::arg("first_lag"),
        py::arg("last_lag"));
  m.def("frames_from_times", &frames_from_times, py::arg("t"), py::arg("dt"));
  m.def("default_wave_numbers", &msdisf::default_wave_numbers);
}
