// The one layer between Python and the engine: numpy arrays in (float64
// C-contiguous arrays without a copy), one table of results out, or lag sums
// held as they are and written to and read from sums files; engine errors
// mapped to Python exceptions (invalid input to a ValueError that names the
// rows it is about), the GIL released while computing.
#include <fcntl.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <type_traits>

#include "engine/analysis.h"
#include "engine/drift.h"
#include "engine/huge_pages.h"
#include "engine/msd_fit.h"
#include "engine/option_text.h"
#include "engine/result_columns.h"
#include "engine/sums.h"
#include "engine/time_grid.h"
#include "engine/unwrap.h"
#include "io/sums_file.h"

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
  if (!r.particle.empty()) out["particle"] = handed_over(std::move(r.particle));
  out["lag"] = handed_over(std::move(r.lag));
  out["pairs"] = handed_over(std::move(r.pairs));
  out["wave_numbers"] = r.wave_numbers;
  out["notes"] = r.notes;
  out["dimensions"] = r.dimensions;
  if (!e.empty())
    out["se_groups"] = py::array_t<std::int64_t>(rows, reinterpret_cast<const std::int64_t*>(e.groups.data()));
  return out;
}

// The engine's options from the texts and values Python passes; ValueError
// naming the option that cannot be read.
msdisf::AnalysisOptions engine_options(const std::string& lags, const std::vector<double>& wave_numbers,
                                       const std::string& estimator, const std::string& method,
                                       const std::string& quantities, bool errors, int threads) {
  msdisf::AnalysisOptions options;
  options.pairs = parsed("estimator", estimator, msdisf::kPairRuleTexts, msdisf::pair_rule_from_text);
  options.lags = parsed("lags", lags, msdisf::kLagTexts, msdisf::lags_from_text);
  options.wave_numbers = wave_numbers;
  options.method = parsed("method", method, msdisf::kMethodTexts, msdisf::method_from_text);
  options.quantities =
      quantities.empty() ? msdisf::default_quantities(!wave_numbers.empty())
                         : parsed("quantities", quantities, msdisf::kQuantityTexts, msdisf::quantities_from_text);
  options.errors = errors;
  options.threads = threads;
  if (const auto problem = msdisf::options_problem(options)) throw py::value_error(*problem);
  return options;
}

// Runs `compute(options)` on the records with the GIL released, progress and
// Ctrl-C going through `progress` and the signal check. Engine errors become
// MemoryError, KeyboardInterrupt or a ValueError with the records.
template <class Compute>
auto run_engine(msdisf::AnalysisOptions options, py::object progress, Compute compute) {
  Callbacks callbacks(std::move(progress));
  options.progress = [&callbacks](double f) { callbacks.progress(f); };
  options.cancelled = [&callbacks] { return callbacks.cancelled(); };
  std::optional<decltype(compute(options))> result;
  std::optional<msdisf::AnalysisError> failure;
  {
    py::gil_scoped_release release;
    try {
      result.emplace(compute(options));
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
  return std::move(*result);
}

// The records' views: y None for one dimension, z given for three.
msdisf::TrajectoryData records(const Doubles& x, const std::optional<Doubles>& y, const Integers& frame,
                               const std::optional<Integers>& particle, const std::optional<Doubles>& z) {
  static_assert(sizeof(long) == sizeof(std::int64_t));
  return {view(x), y ? view(*y) : std::span<const double>{}, view(frame),
          particle ? view(*particle) : std::span<const std::int64_t>{}, z ? view(*z) : std::span<const double>{}};
}

py::dict analyse(const Doubles& x, const std::optional<Doubles>& y, const Integers& frame,
                 const std::optional<Integers>& particle, const std::string& lags,
                 const std::vector<double>& wave_numbers, const std::string& estimator, const std::string& method,
                 const std::string& quantities, bool errors, int threads, py::object progress, bool per_particle,
                 const std::optional<Doubles>& z, std::size_t memory_limit) {
  auto options = engine_options(lags, wave_numbers, estimator, method, quantities, errors, threads);
  options.per_particle = per_particle;
  options.memory_limit = memory_limit;
  const msdisf::TrajectoryData data = records(x, y, frame, particle, z);
  double engine_seconds = 0.0;
  auto result = run_engine(options, std::move(progress), [&](const msdisf::AnalysisOptions& o) {
    const auto start = std::chrono::steady_clock::now();
    auto r = msdisf::analyse(data, o);
    engine_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return r;
  });
  py::dict out = to_python(result);
  out["engine_seconds"] = engine_seconds;  // for the overhead benchmark
  return out;
}

// The lag sums of the records; ids[code] is the user's id of particle code
// `code` as text (empty: the codes are the ids). dt and mpp (0: none) are
// recorded with the sums.
msdisf::LagSums lag_sums(const Doubles& x, const std::optional<Doubles>& y, const Integers& frame,
                         const std::optional<Integers>& particle, const std::vector<std::string>& ids,
                         const std::string& lags, const std::vector<double>& wave_numbers, const std::string& estimator,
                         const std::string& method, const std::string& quantities, int threads, double dt, double mpp,
                         py::object progress, const std::optional<Doubles>& z, std::size_t memory_limit,
                         bool errors) {
  auto options = engine_options(lags, wave_numbers, estimator, method, quantities, errors, threads);
  options.memory_limit = memory_limit;
  const msdisf::TrajectoryData data = records(x, y, frame, particle, z);
  msdisf::LagSums sums = run_engine(options, std::move(progress),
                                    [&](const msdisf::AnalysisOptions& o) { return msdisf::lag_sums(data, o, ids); });
  sums.dt = dt;
  sums.mpp = mpp;
  return sums;
}

void merge(msdisf::LagSums& into, const msdisf::LagSums& other) {
  std::optional<msdisf::LagSums> self_copy;
  if (&into == &other) self_copy.emplace(other);
  std::optional<msdisf::AnalysisError> failure;
  {
    py::gil_scoped_release release;
    try {
      msdisf::merge_into(into, self_copy ? *self_copy : other);
    } catch (const msdisf::AnalysisError& error) {
      failure.emplace(error);
    }
  }
  if (failure) throw py::value_error(failure->what());
}

msdisf::LagSums copied(const msdisf::LagSums& sums) { return sums; }

std::string sums_text(const msdisf::LagSums& sums) {
  std::string text;
  if (!msdisf::write_sums_file(sums, [&text](std::string_view piece) { return text.append(piece), true; })) {
    throw py::value_error("these sums cannot be written as a sums file (they hold standard-error sums)");
  }
  return text;
}

msdisf::LagSums sums_from_text(const py::bytes& bytes) {
  const std::string text = bytes;
  auto read = msdisf::read_sums_file(text, "");
  if (auto* failure = std::get_if<msdisf::SumsFileError>(&read)) throw py::value_error(failure->message);
  msdisf::LagSums sums = std::move(std::get<msdisf::LagSums>(read));
  if (sums.sources == std::vector<std::string>{""}) sums.sources.clear();
  return sums;
}

py::dict table(const msdisf::LagSums& sums) {
  std::optional<msdisf::AnalysisResult> result;
  {
    py::gil_scoped_release release;
    result.emplace(msdisf::finish(sums));
  }
  return to_python(*result);
}

[[noreturn]] void raise_os_error(int error, const std::string& path) {
  errno = error;
  PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
  throw py::error_already_set();
}

// Writes the sums to a new file beside `path` and renames it over `path`, so
// that `path` holds either its old content or the whole sums file. OSError
// naming `path` when that fails.
void save(const msdisf::LagSums& sums, const std::string& path) {
  static std::atomic<unsigned> counter{0};
  std::string temporary;
  int fd = -1;
  for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
    temporary = path + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter++);
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) raise_os_error(errno, path);
  int error = 0;
  {
    py::gil_scoped_release release;
    const bool written = msdisf::write_sums_file(sums, [fd](std::string_view piece) {
      while (!piece.empty()) {
        const ssize_t n = ::write(fd, piece.data(), piece.size());
        if (n < 0) {
          if (errno == EINTR) continue;
          return false;
        }
        piece.remove_prefix(static_cast<std::size_t>(n));
      }
      return true;
    });
    if (!written) error = errno;
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && std::rename(temporary.c_str(), path.c_str()) != 0) error = errno;
    if (error != 0) ::unlink(temporary.c_str());
  }
  if (error != 0) raise_os_error(error, path);
}

// Reads a whole sums file: OSError naming `path` when it cannot be read,
// ValueError "path: line N: ..." when it is not a whole sums file.
msdisf::LagSums load_sums(const std::string& path) {
  std::string text;
  int error = 0;
  {
    py::gil_scoped_release release;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      error = errno;
    } else {
      char buffer[1 << 16];
      for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) error = errno;
        if (n <= 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
      }
      ::close(fd);
    }
  }
  if (error != 0) raise_os_error(error, path);
  auto read = msdisf::read_sums_file(text, path);
  if (auto* failure = std::get_if<msdisf::SumsFileError>(&read)) throw py::value_error(path + ": " + failure->message);
  return std::move(std::get<msdisf::LagSums>(read));
}

py::array_t<std::int64_t> int64_array(const std::vector<long>& values) {
  return py::array_t<std::int64_t>(static_cast<py::ssize_t>(values.size()),
                                   reinterpret_cast<const std::int64_t*>(values.data()));
}

py::dict fit(const Integers& lag, const Doubles& t, const Doubles& msd, const Doubles& msd_se, long first_lag,
             long last_lag, int dimensions) {
  if (t.size() != lag.size() || msd.size() != lag.size() || msd_se.size() != lag.size()) {
    throw py::value_error("lag, t, msd and msd_se must have the same length");
  }
  const auto lags = view(lag);
  const std::vector<long> frames(lags.begin(), lags.end());
  msdisf::MsdFit f;
  try {
    f = msdisf::fit_msd(frames, view(t), view(msd), view(msd_se), first_lag, last_lag, dimensions);
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
  out["dimensions"] = f.dimensions;
  return out;
}

// compute() with the GIL released; engine errors as ValueError naming the records.
template <class Compute>
auto corrected(Compute compute) {
  std::optional<decltype(compute())> result;
  std::optional<msdisf::AnalysisError> failure;
  {
    py::gil_scoped_release release;
    try {
      result.emplace(compute());
    } catch (const msdisf::AnalysisError& error) {
      failure.emplace(error);
    }
  }
  if (failure) raise_value_error(*failure);
  return std::move(*result);
}

py::list arrays(std::vector<std::vector<double>>&& axes) {
  py::list out;
  for (auto& axis : axes) out.append(handed_over(std::move(axis)));
  return out;
}

// {"positions": [x, y, z], "frame": frames, "drift": [dx, dy, dz], "notes"}:
// the positions less the ensemble drift, and the drift at every frame.
py::dict subtract_drift(const Doubles& x, const std::optional<Doubles>& y, const Integers& frame,
                        const std::optional<Integers>& particle, const std::optional<Doubles>& z) {
  const msdisf::TrajectoryData data = records(x, y, frame, particle, z);
  auto [drift, positions] = corrected([&data] {
    msdisf::Drift d = msdisf::ensemble_drift(data);
    auto p = msdisf::without_drift(data, d);
    return std::pair{std::move(d), std::move(p)};
  });
  py::dict out;
  out["notes"] = drift.notes;
  out["positions"] = arrays(std::move(positions));
  out["frame"] = handed_over(std::move(drift.frame));
  out["drift"] = arrays(std::move(drift.axis));
  return out;
}

// {"positions": [x, y, z], "notes"}: the positions unwrapped in the box.
py::dict unwrap(const Doubles& x, const std::optional<Doubles>& y, const Integers& frame,
                const std::optional<Integers>& particle, const std::optional<Doubles>& z, const std::vector<double>& box) {
  const msdisf::TrajectoryData data = records(x, y, frame, particle, z);
  msdisf::Unwrapped u = corrected([&] { return msdisf::unwrap(data, box); });
  py::dict out;
  out["notes"] = u.notes;
  out["positions"] = arrays(std::move(u.axis));
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
        py::arg("wave_numbers"), py::arg("estimator"), py::arg("method"), py::arg("quantities"), py::arg("errors"),
        py::arg("threads"), py::arg("progress"), py::arg("per_particle") = false, py::arg("z") = py::none(),
        py::arg("memory_limit") = 0);
  m.def("fit", &fit, py::arg("lag"), py::arg("t"), py::arg("msd"), py::arg("msd_se"), py::arg("first_lag"),
        py::arg("last_lag"), py::arg("dimensions") = 2);
  m.def("frames_from_times", &frames_from_times, py::arg("t"), py::arg("dt"));
  m.def("subtract_drift", &subtract_drift, py::arg("x"), py::arg("y"), py::arg("frame"), py::arg("particle"),
        py::arg("z"));
  m.def("unwrap", &unwrap, py::arg("x"), py::arg("y"), py::arg("frame"), py::arg("particle"), py::arg("z"),
        py::arg("box"));
  m.def("default_wave_numbers", &msdisf::default_wave_numbers);

  py::class_<msdisf::LagSums>(m, "LagSums", "Per-lag sums over the pairs of whole particles; see msdisf.LagSums.")
      .def("copy", &copied, "An independent copy.")
      .def("merge", &merge, py::arg("other"), "Adds other's sums into these; ValueError when they cannot merge.")
      .def("table", &table, "The result table, as analyse() gives it.")
      .def("save", &save, py::arg("path"), "Writes the sums file at path (replacing it whole).")
      // Pickled as the text of a sums file, which reads back to the same bits.
      .def(py::pickle([](const msdisf::LagSums& s) { return py::bytes(sums_text(s)); },
                      [](const py::bytes& text) { return sums_from_text(text); }))
      .def_property_readonly("lags", [](const msdisf::LagSums& s) { return int64_array(s.lag); })
      .def_property_readonly("particles", [](const msdisf::LagSums& s) { return s.particles.size(); })
      .def_property_readonly("sources", [](const msdisf::LagSums& s) { return s.sources; })
      .def_property_readonly("dt", [](const msdisf::LagSums& s) { return s.dt; })
      .def_property_readonly("mpp", [](const msdisf::LagSums& s) { return s.mpp; })
      .def_property_readonly("dimensions", [](const msdisf::LagSums& s) { return s.dimensions; })
      .def_property_readonly("wave_numbers", [](const msdisf::LagSums& s) { return s.wave_numbers; });
  m.def("lag_sums", &lag_sums, py::arg("x"), py::arg("y"), py::arg("frame"), py::arg("particle"), py::arg("ids"),
        py::arg("lags"), py::arg("wave_numbers"), py::arg("estimator"), py::arg("method"), py::arg("quantities"),
        py::arg("threads"), py::arg("dt"), py::arg("mpp"), py::arg("progress"), py::arg("z") = py::none(),
        py::arg("memory_limit") = 0, py::arg("errors") = false);
  m.def("load_sums", &load_sums, py::arg("path"));
}
