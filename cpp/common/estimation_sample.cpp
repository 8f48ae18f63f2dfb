#include "common/estimation_sample.hpp"

#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/group_order.hpp"
#include "core/row_positions.hpp"
#include "core/task_team.hpp"

#include "pyutil/pyutil.hpp"

namespace korvald::common {

using namespace nb::literals;

std::string normalize_setype(nb::handle setype, bool none_allowed) {
  static const char* homo[] = {"homoskedastic", "homo", "iid"};
  static const char* hetero[] = {"r", "robust", "heteroskedastic", "hetero", "HC1"};
  static const char* clus[] = {"cluster", "clus", "clu", "multiway", "c", "cl"};
  if (setype.is_none()) {
    if (none_allowed) return "none";
    py::raise_value_error("Invalid standard error type");
  }
  auto is_one_of = [&](const char* const* names, size_t n) {
    for (size_t i = 0; i < n; ++i)
      if (py::equals(setype, nb::str(names[i]))) return true;
    return false;
  };
  if (is_one_of(homo, 3)) return "homoskedastic";
  if (is_one_of(hetero, 5)) return "heteroskedastic";
  if (is_one_of(clus, 6)) return "cluster";
  if (py::equals(setype, nb::str("none"))) return "none";
  py::raise_value_error("Invalid standard error type");
}

void check_tolerance(nb::handle value, const std::string& message) {
  // Text compares with numbers in no useful way ("1e-9" > 0 is a TypeError
  // about str and int): say which option wants a number instead.
  const bool text = PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr());
  int positive = text ? -1 : PyObject_RichCompareBool(value.ptr(), nb::int_(0).ptr(), Py_GT);
  if (positive < 0) {
    PyErr_Clear();
    py::raise_type_error(message + "; got " + py::repr(value) + " of type " +
                         py::str(value.type().attr("__name__")) + ", expected a number");
  }
  if (!positive || !py::truthy(py::numpy().attr("isfinite")(value))) py::raise_value_error(message);
}

void require_number(nb::handle value, const std::string& name) {
  const bool text = PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr());
  if (text || PyObject_RichCompareBool(value.ptr(), nb::int_(0).ptr(), Py_GT) < 0) {
    PyErr_Clear();
    py::raise_type_error(name + " must be a number, got " + py::repr(value));
  }
}

void check_iteration_types(std::initializer_list<nb::handle> values) {
  for (nb::handle v : values)
    if (!py::is_int(v)) py::raise_type_error("Number of iterations must be integer values");
}

void require_columns(nb::handle data, nb::handle names, const std::string& prefix) {
  nb::object columns = data.attr("columns");
  nb::list missing;
  for (nb::handle name : names)
    if (!py::truthy(columns.attr("__contains__")(name))) missing.append(name);
  if (nb::len(missing) > 0) py::raise_value_error(prefix + py::repr(missing));
}

static bool contains(nb::handle container, nb::handle item) {
  int r = PySequence_Contains(container.ptr(), item.ptr());
  if (r < 0) throw nb::python_error();
  return r == 1;
}

void require_dataframe(nb::handle data) {
  if (!nb::isinstance(data, py::pandas().attr("DataFrame"))) py::raise_type_error("data must be a pandas DataFrame");
}

nb::list name_list(nb::handle value, const std::string& what) {
  const std::string message = what + " must be a list of column names";
  if (value.is_none() || PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr())) py::raise_type_error(message);
  nb::object iterator = nb::steal(PyObject_GetIter(value.ptr()));
  if (!iterator.is_valid()) {
    PyErr_Clear();
    py::raise_type_error(message);
  }
  nb::list names;
  while (true) {
    nb::object item = nb::steal(PyIter_Next(iterator.ptr()));
    if (!item.is_valid()) {
      if (PyErr_Occurred()) throw nb::python_error();
      break;
    }
    names.append(item);
  }
  return names;
}

void require_distinct(nb::handle names, const std::string& what) {
  nb::list repeated;
  nb::list seen;
  for (nb::handle name : names) {
    if (contains(seen, name)) {
      if (!contains(repeated, name)) repeated.append(name);
    } else {
      seen.append(name);
    }
  }
  if (nb::len(repeated) > 0) py::raise_value_error(what + " contains repeated names: " + py::repr(repeated));
}

void require_unique_columns(nb::handle data, nb::handle names) {
  nb::object columns = data.attr("columns");
  if (py::truthy(columns.attr("is_unique"))) return;
  nb::object counts = columns.attr("value_counts")();
  nb::list repeated;
  for (nb::handle name : sorted_unique(names))
    if (py::truthy(counts.attr("__contains__")(name)) && nb::cast<int64_t>(counts[name]) > 1) repeated.append(name);
  if (nb::len(repeated) > 0)
    py::raise_value_error("Column name(s) occur more than once in data: " + py::repr(repeated));
}

void require_unreserved(nb::handle names, nb::handle reserved) {
  nb::list clashes;
  for (nb::handle name : sorted_unique(names))
    if (contains(reserved, name)) clashes.append(name);
  if (nb::len(clashes) > 0)
    py::raise_value_error("Column name(s) reserved for the estimation sample: " + py::repr(clashes) +
                          "; rename them in data");
}

void require_numeric(nb::handle data, nb::handle names, const std::string& what) {
  nb::object types = py::pandas().attr("api").attr("types");
  nb::list not_numeric, complex_valued;
  for (nb::handle name : names) {
    nb::object column = data.attr("__getitem__")(name);
    if (py::truthy(types.attr("is_complex_dtype")(column))) {
      complex_valued.append(name);
      continue;
    }
    if (py::truthy(types.attr("is_numeric_dtype")(column)) || py::truthy(types.attr("is_bool_dtype")(column)))
      continue;
    // Durations and dates convert to numbers in some pandas versions; they are no model variables.
    if (py::truthy(types.attr("is_timedelta64_dtype")(column)) ||
        py::truthy(types.attr("is_datetime64_any_dtype")(column))) {
      not_numeric.append(name);
      continue;
    }
    nb::object converted;
    try {
      converted = column.attr("astype")("float64");
    } catch (nb::python_error&) {
      not_numeric.append(name);
      continue;
    }
    (void)converted;
  }
  if (nb::len(not_numeric) > 0) py::raise_value_error(what + " not numeric: " + py::repr(not_numeric));
  if (nb::len(complex_valued) > 0)
    py::raise_value_error(what + " complex-valued: " + py::repr(complex_valued) +
                          "; only real numbers can be used");
}

nb::list sorted_unique(nb::handle names) {
  return nb::borrow<nb::list>(py::builtins().attr("sorted")(nb::set(names)));
}

nb::list check_model_columns(nb::handle data, nb::handle y, nb::handle x, nb::handle fixedeffects,
                             const std::string& setype, nb::handle clustvars) {
  nb::list keepvars;
  for (nb::handle v : x) keepvars.append(v);
  for (nb::handle v : y) keepvars.append(v);
  require_columns(data, y, "Dependent variable(s) not in data: ");
  require_columns(data, x, "Independent variable(s) not in data: ");
  if (py::truthy(fixedeffects)) {
    nb::list components;
    for (nb::handle spec : fixedeffects)
      for (const auto& part : py::split(py::str(spec), '#')) components.append(nb::str(part.c_str()));
    nb::list fe_vars = sorted_unique(components);
    require_columns(data, fe_vars, "Fixed effects variable(s) not in data: ");
    for (nb::handle v : fe_vars) keepvars.append(v);
  }
  if (setype == "cluster") {
    if (clustvars.is_none()) py::raise_value_error("No cluster defined");
    if (nb::len(clustvars) > 4) py::raise_value_error("At most 4 cluster dimensions allowed");
    require_columns(data, clustvars, "Cluster variable(s) not in data: ");
    for (nb::handle v : sorted_unique(clustvars)) keepvars.append(v);
  }
  return keepvars;
}

static bool always_copy_on_write() {
  nb::object version = py::pandas().attr("__version__");
  return nb::cast<int>(py::builtins().attr("int")(version.attr("split")(".")[0])) >= 3;
}

nb::object build_sample(nb::handle data, nb::handle keepvars, nb::handle yx, nb::handle msg) {
  nb::list keep = sorted_unique(keepvars);
  const nb::object all = nb::slice(nb::none(), nb::none(), nb::none());
  // The element type all kept columns would share in one array: read off an
  // empty slice, so no data is copied to learn it.
  nb::object common_dtype =
      data.attr("iloc")[nb::slice(0, 0, 1)].attr("loc")[nb::make_tuple(all, keep)].attr("to_numpy")().attr("dtype");
  // pandas 3 always copies on write: a frame of the caller's own columns
  // shares them until one is replaced, and every change below replaces whole
  // columns, so the caller's frame stays untouched without copying all N rows
  // up front. Built column by column: selecting several columns at once
  // copies those that sit in one block with others. Older pandas gets its
  // own copy.
  nb::object sample;
  if (always_copy_on_write()) {
    nb::dict columns;
    for (nb::handle name : keep) columns[name] = data.attr("__getitem__")(name);
    sample = py::pandas().attr("DataFrame")(columns, "copy"_a = false);
  } else {
    sample = data.attr("loc")[nb::make_tuple(all, keep)].attr("copy")();
  }
  sample.attr("index") = py::pandas().attr("RangeIndex")(nb::len(data));
  nb::object float64 = py::numpy().attr("float64");
  if (nb::len(yx) > 0 && !py::equals(common_dtype, float64)) {
    const std::string note = "Some variables are not double, recasting";
    msg.attr("append")(note);
    py::print(note);
  }
  for (nb::handle col : yx) {
    nb::object column = sample[col];
    if (py::equals(column.attr("dtype"), float64)) continue;
    try {
      sample[col] = column.attr("astype")("float64");
    } catch (nb::python_error& e) {
      // The library's own error stands; the note names the column it came from.
      nb::handle exc = e.value();
      if (nb::hasattr(exc, "add_note"))
        exc.attr("add_note")("while converting column " + py::repr(col) + " to float64");
      throw;
    }
  }
  return sample;
}

nb::object usable_values(nb::handle column) {
  nb::object np = py::numpy();
  nb::object ok = column.attr("notna")().attr("to_numpy")("dtype"_a = "bool");
  if (py::truthy(py::pandas().attr("api").attr("types").attr("is_float_dtype")(column))) {
    nb::object values = column.attr("to_numpy")("dtype"_a = "float64", "na_value"_a = np.attr("nan"));
    ok = np.attr("logical_and")(ok, np.attr("isfinite")(values));
  }
  return ok;
}

void cluster_notes(const std::string& setype, nb::handle clustvars, nb::handle msg) {
  if (!clustvars.is_none() && setype != "cluster") {
    const std::string note = "Cluster variables found but SEtype is not cluster; ignoring";
    msg.attr("append")(note);
    py::print(note);
  }
  if (setype == "cluster")
    msg.attr("append")("Standard errors clustered on " + py::join(py::string_list(clustvars), ", "));
}

nb::list dedupe_fixedeffects(nb::handle fixedeffects) {
  nb::list kept;
  if (fixedeffects.is_none()) return kept;
  nb::set seen;
  for (nb::handle spec : fixedeffects) {
    if (seen.contains(spec)) {
      py::print("Fixed effect \"" + py::str(spec) + "\" is duplicate and ignored");
      continue;
    }
    seen.add(spec);
    kept.append(spec);
  }
  return kept;
}

nb::list make_fenames(size_t n_specs) {
  nb::list names;
  for (size_t i = 0; i < std::max<size_t>(n_specs, 1); ++i)
    names.append(nb::str(("fe_" + std::string(1, static_cast<char>(65 + i))).c_str()));
  return names;
}

static nb::list spec_columns(nb::handle spec) {
  nb::list cols;
  for (const auto& part : py::split(py::str(spec), '#')) cols.append(nb::str(part.c_str()));
  return cols;
}

// sample[name] = values, minus the copy a plain assignment of an array makes:
// a Series on the sample's own index is taken over as it is.
static void assign_column(nb::handle sample, nb::handle name, nb::handle values) {
  sample[name] = py::pandas().attr("Series")(values, "index"_a = sample.attr("index"), "copy"_a = false);
}

// Identifier columns are stored in 32 bits when their group count allows
// (half the memory of every later copy of the sample), in 64 bits otherwise.
// KORVALD_WIDE_IDENTIFIERS=1 keeps every column at 64 bits, so that path can
// be checked on small data.
static bool wide_identifiers() {
  const char* setting = std::getenv("KORVALD_WIDE_IDENTIFIERS");
  return setting && std::string(setting) == "1";
}

// Whether codes below `groups` are stored in 32 bits.
static bool narrow_codes(int64_t groups) {
  return !wide_identifiers() && groups <= std::numeric_limits<int32_t>::max();
}

static nb::object stored_codes(nb::object codes, int64_t groups) {
  if (!narrow_codes(groups)) return codes;
  return codes.attr("astype")(py::numpy().attr("int32"), "copy"_a = false);
}

// A column of codes as it is stored when that is contiguous int32 or int64
// (no widened copy), as a contiguous int64 copy otherwise.
static nb::object code_column(nb::handle values) {
  nb::object np = py::numpy();
  nb::object array = np.attr("asarray")(values).attr("reshape")(-1);
  nb::object dtype = array.attr("dtype");
  const bool stored_width = dtype.equal(np.attr("dtype")("int32")) || dtype.equal(np.attr("dtype")("int64"));
  return np.attr("ascontiguousarray")(array, "dtype"_a = stored_width ? dtype : np.attr("int64"));
}

// Calls f(codes) with a typed pointer into a code_column array.
template <typename F>
static auto with_codes(nb::handle codes, F&& f) {
  if (nb::isinstance<nb::ndarray<const int32_t, nb::c_contig, nb::device::cpu>>(codes))
    return f(nb::cast<nb::ndarray<const int32_t, nb::c_contig, nb::device::cpu>>(codes).data());
  return f(nb::cast<nb::ndarray<const int64_t, nb::c_contig, nb::device::cpu>>(codes).data());
}

static int64_t group_count(nb::handle ids) {
  if (nb::len(ids) == 0) return 0;
  return nb::cast<int64_t>(ids.attr("max")()) + 1;
}

// The column's values as int64 when its type is a plain signed or small
// unsigned integer (exactly representable), None otherwise.
static nb::object integer_keys(nb::handle column) {
  nb::object np = py::numpy();
  nb::object dtype = column.attr("dtype");
  if (!nb::isinstance(dtype, np.attr("dtype"))) return nb::none();
  const std::string kind = nb::cast<std::string>(dtype.attr("kind"));
  const int64_t size = nb::cast<int64_t>(dtype.attr("itemsize"));
  if (kind != "i" && !(kind == "u" && size < 8)) return nb::none();
  return np.attr("ascontiguousarray")(column.attr("to_numpy")(), "dtype"_a = np.attr("int64"));
}

template <typename T>
static T* data_of(nb::handle array) {
  return nb::cast<nb::ndarray<T, nb::c_contig, nb::device::cpu>>(array).data();
}

// Group numbers 0..G-1 of one specification in ascending key order, with
// their count G. Integer keys of a moderate range are numbered natively (all
// such specifications side by side, see native_codes); anything else (text,
// floats, interactions, sparse huge ids) by pandas' sorted group-by.
struct SpecificationCodes {
  nb::object codes = nb::none();
  int64_t groups = -1;  // -1: not numbered natively
};

// The native numbering of every specification that is a single column of
// integer keys, on `threads` threads (each specification is numbered as on
// its own). Entries whose keys span too wide a range stay unnumbered.
static std::vector<SpecificationCodes> native_codes(nb::handle sample, const std::vector<nb::list>& specs,
                                                    int threads) {
  nb::object np = py::numpy();
  std::vector<SpecificationCodes> out(specs.size());
  struct Job {
    size_t spec;
    const int64_t* keys;
    int32_t* narrow_codes;
    int64_t* wide_codes;
  };
  std::vector<Job> jobs;
  std::vector<nb::object> keep_alive;
  const int64_t n = static_cast<int64_t>(nb::len(sample));
  // Codes stay below n, so n decides the width they are stored in; they are
  // written in it directly rather than widened and narrowed again.
  const bool narrow = narrow_codes(n);
  for (size_t j = 0; j < specs.size(); ++j) {
    if (nb::len(specs[j]) != 1) continue;
    nb::object keys = integer_keys(sample[specs[j][0]]);
    if (keys.is_none()) continue;
    out[j].codes = np.attr("empty")(n, "dtype"_a = np.attr(narrow ? "int32" : "int64"));
    jobs.push_back(Job{j, data_of<const int64_t>(keys), narrow ? data_of<int32_t>(out[j].codes) : nullptr,
                       narrow ? nullptr : data_of<int64_t>(out[j].codes)});
    keep_alive.push_back(keys);
  }
  // A table over the key range costs 8 bytes per possible key: keep it
  // within the size of the codes themselves.
  const int64_t max_span = std::max<int64_t>(n, int64_t(1) << 20);
  auto number = [&](int64_t t) {
    const Job& job = jobs[t];
    out[job.spec].groups =
        job.narrow_codes
            ? core::dense_codes(job.keys, n, std::min<int64_t>(max_span, std::numeric_limits<int32_t>::max()),
                                job.narrow_codes)
            : core::dense_codes(job.keys, n, max_span, job.wide_codes);
  };
  {
    nb::gil_scoped_release release;
    core::run_on_threads(static_cast<int64_t>(jobs.size()), threads, number);
  }
  for (SpecificationCodes& sc : out)
    if (sc.groups < 0) sc.codes = nb::none();
  return out;
}

static SpecificationCodes grouped_codes(nb::handle sample, nb::list cols) {
  nb::object np = py::numpy();
  SpecificationCodes sc;
  sc.codes = sample.attr("groupby")(cols, "sort"_a = true).attr("ngroup")().attr("to_numpy")(
      "dtype"_a = np.attr("int64"));
  sc.groups = group_count(sc.codes);
  return sc;
}

int64_t add_identifier_columns(nb::object sample, nb::handle fixedeffects, nb::handle fenames, int verb,
                               int threads) {
  nb::object np = py::numpy();
  if (nb::len(fixedeffects) == 0) {
    assign_column(sample, nb::str("fe_A"),
                  stored_codes(np.attr("zeros")(nb::len(sample), "dtype"_a = np.attr("int64")), 1));
    return 1;
  }
  std::vector<nb::list> specs;
  for (nb::handle spec : fixedeffects) specs.push_back(spec_columns(spec));
  std::vector<SpecificationCodes> codes = native_codes(sample, specs, threads);
  int64_t n_fe = 0;
  for (size_t i = 0; i < specs.size(); ++i) {
    SpecificationCodes sc = codes[i].groups >= 0 ? codes[i] : grouped_codes(sample, specs[i]);
    codes[i] = SpecificationCodes();
    assign_column(sample, fenames[i], stored_codes(sc.codes, sc.groups));
    n_fe += sc.groups;
    if (verb > 0)
      py::print("Created " + py::join(py::string_list(specs[i]), "-") + " fixed effects with " +
                std::to_string(sc.groups) + " groups");
  }
  return n_fe;
}

void drop_absorbed_components(nb::object sample, nb::handle fixedeffects, nb::handle keep) {
  nb::dict uses;
  for (nb::handle spec : fixedeffects)
    for (nb::handle col : sorted_unique(spec_columns(spec)))
      uses[col] = nb::int_(uses.contains(col) ? nb::cast<int64_t>(uses[col]) + 1 : 1);
  for (auto [col, count] : uses)
    if (nb::cast<int64_t>(count) == 1 && !contains(keep, col)) sample.attr("__delitem__")(col);
}

nb::object order_key(nb::handle sample, nb::handle fenames) {
  nb::handle best;
  int64_t best_max = -1;
  for (nb::handle name : fenames) {
    int64_t m = group_count(sample[name]) - 1;
    if (!best.is_valid() || m > best_max) {
      best = name;
      best_max = m;
    }
  }
  return nb::borrow(best);
}

void keep_rows(nb::object& sample, nb::handle mask) {
  nb::object np = py::numpy();
  nb::object pd = py::pandas();
  nb::object keep = np.attr("ascontiguousarray")(mask, "dtype"_a = np.attr("bool_"));
  nb::object index = sample.attr("index");
  const int64_t n = static_cast<int64_t>(nb::len(index));
  if (static_cast<int64_t>(nb::len(keep)) != n)
    py::raise_runtime_error("row mask of length " + std::to_string(nb::len(keep)) + " for a sample of " +
                            std::to_string(n) + " rows");
  const int64_t kept = nb::cast<int64_t>(np.attr("count_nonzero")(keep));
  // The kept rows' positions, 32-bit when the caller's frame allows: made
  // straight from the mask, with no 64-bit index array on the way.
  nb::object kept_index;
  if (nb::isinstance(index, pd.attr("RangeIndex")) && n <= static_cast<int64_t>(std::numeric_limits<int32_t>::max())) {
    nb::object positions = np.attr("empty")(kept, "dtype"_a = np.attr("int32"));
    const bool* m = data_of<const bool>(keep);
    int32_t* out = data_of<int32_t>(positions);
    const int64_t start = nb::cast<int64_t>(index.attr("start")), step = nb::cast<int64_t>(index.attr("step"));
    {
      nb::gil_scoped_release release;
      core::kept_positions(m, n, start, step, out);
    }
    kept_index = pd.attr("Index")(positions, "copy"_a = false);
  } else {
    kept_index = index[keep];
  }
  index = nb::none();
  // The columns' values, then the frame goes: each column's old storage is
  // freed once its filtered copy exists and nothing else holds it.
  nb::object names = py::builtins().attr("list")(sample.attr("columns"));
  nb::list values;
  nb::object iloc = sample.attr("iloc");
  const nb::object all = nb::slice(nb::none(), nb::none(), nb::none());
  for (size_t j = 0; j < nb::len(names); ++j) values.append(iloc[nb::make_tuple(all, nb::int_(j))].attr("array"));
  iloc = nb::none();
  sample = nb::none();
  nb::object out = pd.attr("DataFrame")("index"_a = kept_index);
  for (size_t j = 0; j < nb::len(names); ++j) {
    nb::object filtered = values[j][keep];
    values[j] = nb::none();
    out.attr("insert")(j, names[j], pd.attr("Series")(filtered, "index"_a = kept_index, "copy"_a = false),
                       "allow_duplicates"_a = true);
  }
  sample = out;
}

nb::object output_order(nb::handle sample, nb::handle key) {
  nb::object np = py::numpy();
  nb::object codes = code_column(sample[key].attr("to_numpy")());
  const int64_t n = static_cast<int64_t>(nb::len(codes));
  // Rows already in output order (data sorted by that identifier): the
  // outputs can use the sample's arrays as they are.
  const int64_t groups = with_codes(codes, [&](const auto* codes_n) {
    nb::gil_scoped_release release;
    const int64_t count = core::code_count(codes_n, n);
    return count >= 0 && core::codes_ascending(codes_n, n) ? int64_t(-2) : count;
  });
  if (groups == -2) return nb::none();
  nb::object order = np.attr("empty")(n, "dtype"_a = np.attr("int64"));
  int64_t* order_n = data_of<int64_t>(order);
  const bool counted = groups >= 0 && with_codes(codes, [&](const auto* codes_n) {
                         nb::gil_scoped_release release;
                         return core::stable_order_by_code(codes_n, n, groups, order_n);
                       });
  if (!counted) py::raise_runtime_error("identifier column " + py::repr(key) + " holds negative codes");
  return order;
}

nb::object output_labels(nb::handle source_index, nb::handle sample, nb::handle order) {
  nb::object np = py::numpy();
  nb::object positions = sample.attr("index");
  const bool all_rows = nb::isinstance(positions, py::pandas().attr("RangeIndex"));
  // Positions of the output rows (None: every row of the caller's frame, in order).
  nb::object at = nb::none();
  if (!all_rows) {
    at = positions.attr("to_numpy")();
    if (!order.is_none()) at = at.attr("take")(order);
  } else if (!order.is_none()) {
    at = nb::borrow(order);
  }
  // A RangeIndex (often the caller's own) caches the array its values are
  // asked for once, for as long as it lives: its labels are worked out here
  // instead, so the caller's frame does not grow by N labels.
  if (nb::isinstance(source_index, py::pandas().attr("RangeIndex"))) {
    if (at.is_none())
      return np.attr("arange")(source_index.attr("start"), source_index.attr("stop"), source_index.attr("step"),
                               "dtype"_a = "int64");
    nb::object labels = np.attr("multiply")(at, source_index.attr("step"), "dtype"_a = "int64");
    np.attr("add")(labels, source_index.attr("start"), "out"_a = labels);
    return labels;
  }
  nb::object labels = source_index.attr("to_numpy")();
  return at.is_none() ? labels : nb::object(labels.attr("take")(at));
}

nb::object labels_index(nb::handle labels) {
  // The labels are a fresh array or the sample index's own values, which no
  // one writes to: each Index may keep them without another copy.
  return py::pandas().attr("Index")(labels, "name"_a = "initial_index", "copy"_a = false);
}


nb::object in_output_order(nb::handle values, nb::handle order) {
  nb::object flat = py::numpy().attr("asarray")(values).attr("ravel")();
  return order.is_none() ? flat : flat.attr("take")(order);
}

int64_t recode_identifiers(nb::object sample, nb::handle fenames) {
  nb::object np = py::numpy();
  int64_t n_fe = 0;
  for (nb::handle name : fenames) {
    // The codes are already 0..G-1 in key order; only the groups that lost
    // all their rows leave gaps to close. They keep their stored width.
    nb::object codes = code_column(sample[name].attr("to_numpy")());
    const int64_t n = static_cast<int64_t>(nb::len(codes));
    nb::object out = np.attr("empty_like")(codes);
    const int64_t groups = with_codes(codes, [&](const auto* codes_n) {
      using Code = std::remove_const_t<std::remove_pointer_t<decltype(codes_n)>>;
      Code* out_n = data_of<Code>(out);
      nb::gil_scoped_release release;
      return core::compact_codes(codes_n, n, core::code_count(codes_n, n), out_n);
    });
    if (groups < 0) py::raise_runtime_error("identifier column " + py::repr(name) + " holds negative codes");
    codes = nb::none();
    assign_column(sample, name, stored_codes(out, groups));
    n_fe += groups;
  }
  return n_fe;
}

// (order, panel) of each code array, the arrays shared among `threads` threads.
static std::vector<std::pair<nb::object, nb::object>> ranges_of_code_arrays(const std::vector<nb::object>& arrays,
                                                                            int threads) {
  nb::object np = py::numpy();
  const int64_t n = arrays.empty() ? 0 : static_cast<int64_t>(nb::len(arrays[0]));
  std::vector<core::CodeColumnRanges> columns(arrays.size());
  for (size_t j = 0; j < arrays.size(); ++j)
    with_codes(arrays[j], [&](const auto* codes) {
      if constexpr (std::is_same_v<decltype(codes), const int32_t*>)
        columns[j].codes32 = codes;
      else
        columns[j].codes64 = codes;
      return 0;
    });
  {
    nb::gil_scoped_release release;
    core::count_codes_of_columns(columns, n, threads);
  }
  std::vector<std::pair<nb::object, nb::object>> out;
  for (core::CodeColumnRanges& column : columns) {
    if (column.groups < 0) py::raise_runtime_error("group codes must not be negative");
    // 32-bit positions whenever they fit: the orders are the sample's largest index arrays.
    const bool narrow = n <= std::numeric_limits<int32_t>::max();
    nb::object order = np.attr("empty")(n, "dtype"_a = np.attr(narrow ? "int32" : "int64"));
    nb::object panel = np.attr("empty")(nb::make_tuple(column.groups, 2), "dtype"_a = np.attr("int64"));
    if (narrow)
      column.order32 = data_of<int32_t>(order);
    else
      column.order64 = data_of<int64_t>(order);
    column.panel = data_of<int64_t>(panel);
    out.emplace_back(order, panel);
  }
  {
    nb::gil_scoped_release release;
    core::group_ranges_of_columns(columns, n, threads);
  }
  return out;
}

nb::tuple code_ranges(nb::handle codes) {
  auto ranges = ranges_of_code_arrays({code_column(codes)}, 1);
  return nb::make_tuple(ranges[0].first, ranges[0].second);
}

nb::object group_pointers(nb::handle sample, nb::handle fenames, int threads) {
  std::vector<nb::object> arrays;  // the code columns, alive while the threads read them
  for (nb::handle name : fenames) arrays.push_back(code_column(sample[name].attr("to_numpy")()));
  auto ranges = ranges_of_code_arrays(arrays, threads);
  nb::object result = py::numpy().attr("empty")(nb::make_tuple(2, arrays.size()), "dtype"_a = "object");
  for (size_t j = 0; j < ranges.size(); ++j) {
    result[nb::make_tuple(0, j)] = ranges[j].first;
    result[nb::make_tuple(1, j)] = ranges[j].second;
  }
  return result;
}

nb::object codes_from_pointers(nb::handle panelmat, size_t j, nb::handle dtype, int threads) {
  nb::object np = py::numpy();
  nb::object order = panelmat[nb::make_tuple(0, j)];
  nb::object panel = np.attr("ascontiguousarray")(panelmat[nb::make_tuple(1, j)], "dtype"_a = np.attr("int64"));
  const int64_t n = static_cast<int64_t>(nb::len(order));
  const int64_t groups = static_cast<int64_t>(nb::len(panel));
  // Filled as int32 or int64 (the widths identifiers are stored in), any other width converted after.
  const bool narrow_codes = py::equals(np.attr("dtype")(dtype), np.attr("dtype")("int32"));
  nb::object codes = np.attr("empty")(n, "dtype"_a = np.attr(narrow_codes ? "int32" : "int64"));
  const int64_t* panel_g2 = data_of<const int64_t>(panel);
  const bool narrow_order = py::equals(order.attr("dtype"), np.attr("dtype")("int32"));
  auto fill = [&](const auto* order_n) {
    if (narrow_codes) {
      int32_t* out = data_of<int32_t>(codes);
      nb::gil_scoped_release release;
      core::codes_from_ranges(order_n, panel_g2, groups, out, threads);
    } else {
      int64_t* out = data_of<int64_t>(codes);
      nb::gil_scoped_release release;
      core::codes_from_ranges(order_n, panel_g2, groups, out, threads);
    }
  };
  if (narrow_order)
    fill(data_of<const int32_t>(order));
  else
    fill(data_of<const int64_t>(np.attr("ascontiguousarray")(order, "dtype"_a = np.attr("int64"))));
  return py::equals(codes.attr("dtype"), np.attr("dtype")(dtype)) ? codes : nb::object(codes.attr("astype")(dtype));
}

int one_off_threads(nb::handle nt) {
  // Anything but a positive int (0, None, a wrong value the partialling-out
  // will reject with its own message) leaves the choice to the machine.
  if (PyLong_Check(nt.ptr()) && !PyBool_Check(nt.ptr())) {
    const long long v = PyLong_AsLongLong(nt.ptr());
    if (v == -1 && PyErr_Occurred()) PyErr_Clear();
    if (v >= 1) return static_cast<int>(std::min<long long>(v, 1024));
  }
  return core::team_size(0);  // as the partialling-out counts them
}

// The named columns as one row-major N x m array of `dtype`, filled column by
// column: going through a column-major frame export and then a row-major copy
// would move every value twice.
static nb::object column_matrix(nb::handle sample, nb::handle columns, nb::handle dtype) {
  nb::object np = py::numpy();
  size_t n = nb::len(sample), m = nb::len(columns);
  nb::object out = np.attr("empty")(nb::make_tuple(n, m), "dtype"_a = dtype);
  size_t j = 0;
  for (nb::handle col : columns) {
    out[nb::make_tuple(nb::slice(nb::none(), nb::none(), nb::none()), j)] =
        sample[col].attr("to_numpy")("dtype"_a = dtype);
    ++j;
  }
  return out;
}

nb::object identifier_matrix(nb::handle sample, nb::handle fenames) {
  return column_matrix(sample, fenames, py::numpy().attr("int64"));
}

nb::object float_matrix(nb::handle sample, nb::handle columns) {
  return column_matrix(sample, columns, py::numpy().attr("float64"));
}

nb::object series_on_index(nb::handle values, nb::handle index, nb::handle name, nb::handle order) {
  return py::pandas().attr("Series")(in_output_order(values, order), "index"_a = index, "name"_a = name,
                                     "copy"_a = false);
}

}  // namespace korvald::common
