// The only translation unit that knows Python: it converts and forwards.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>
#include <string>
#include <utility>
#include <vector>

#include <pybind11/eigen.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/typing.h>

#include "common/Console.h"
#include "engine/KNNConfig.h"
#include "Docstrings.h"
#include "engine/KNNEngine.h"
#include "format/ModelFile.h"
#include "linalg/Kernels.h"
#include "common/Parallel.h"
#include "reduction/AdaptivePCA.h"

namespace py = pybind11;
using quorvane::KNNConfig;
using quorvane::KNNEngine;
using quorvane::MatrixView;

namespace {

/// A matrix argument: a view of the caller's float64 or float32 array when it
/// has one, otherwise a float64 copy. The view is read with the GIL released;
/// `array` keeps the viewed buffer alive for the whole call.
struct MatrixArg {
    Eigen::MatrixXd owned;
    std::optional<MatrixView> view;
    py::object array;
    int ndim = 2;  ///< of the argument as given: a one-dimensional X arrives as one column
};

/// The labels argument of train: converted as pybind11 converts a list of
/// str, but a label of another type is named in one line, not with every
/// argument's repr.
struct LabelList {
    std::vector<std::string> values;
};

}  // namespace

namespace pybind11::detail {

// Accepts exactly what the Eigen dense-matrix conversion accepts, under the
// same signature, but skips the copy for arrays that already are float64 or
// float32 (the core widens floats block by block as it reads them).
template <>
struct type_caster<MatrixArg> {
    using CopyCaster = make_caster<Eigen::MatrixXd>;

    PYBIND11_TYPE_CASTER(MatrixArg, CopyCaster::name);

    // Native-order float64 or float32 arrays of one or two dimensions, as the
    // Eigen conversion shapes them (one dimension: one column). Zero,
    // negative or uneven strides (broadcast or reversed arrays, records) and
    // misaligned data are copied: the view would misread them.
    template <typename T>
    static std::optional<MatrixView> view_of(const array& a) {
        if (!a.dtype().equal(dtype::of<T>()) || a.ndim() < 1 || a.ndim() > 2) return std::nullopt;
        const auto size = static_cast<ssize_t>(sizeof(T));
        if (reinterpret_cast<std::uintptr_t>(a.data()) % sizeof(T) != 0) return std::nullopt;
        for (ssize_t i = 0; i < a.ndim(); ++i) {
            if (a.strides(i) <= 0 || a.strides(i) % size != 0) return std::nullopt;
        }
        const auto* data = static_cast<const T*>(a.data());
        const ssize_t rows = a.shape(0), row_stride = a.strides(0) / size;
        if (a.ndim() == 1) return MatrixView(data, rows, 1, row_stride, rows * row_stride);
        return MatrixView(data, rows, a.shape(1), row_stride, a.strides(1) / size);
    }

    bool load(handle src, bool convert) {
        // Anything else becomes an array once, here: its dimensions are kept,
        // and the copy below converts that array, not the object again.
        const array a = isinstance<array>(src) ? reinterpret_borrow<array>(src) : array::ensure(src);
        if (a) {
            value.ndim = static_cast<int>(a.ndim());
            std::optional<MatrixView> view = view_of<double>(a);
            if (!view) view = view_of<float>(a);
            if (view) {
                value.view = view;
                value.array = a;
                return true;
            }
        }
        CopyCaster copy;
        if (!copy.load(a ? handle(a) : src, convert)) return false;
        value.owned = std::move(static_cast<Eigen::MatrixXd&>(copy));
        value.view.emplace(value.owned);
        return true;
    }

    static handle cast(const MatrixArg&, return_value_policy, handle) {
        pybind11_fail("MatrixArg is an argument type only");
    }
};

template <>
struct type_caster<LabelList> {
    PYBIND11_TYPE_CASTER(LabelList, io_name("collections.abc.Sequence", "list") + const_name("[") +
                                        make_caster<std::string>::name + const_name("]"));

    // The containers pybind11 takes for a list of str, in their iteration order.
    bool load(handle src, bool convert) {
        if (!object_is_convertible_to_std_vector(src)) return false;
        object items = reinterpret_borrow<object>(src);
        if (!isinstance<sequence>(src)) {
            if (!convert) return false;
            items = tuple(reinterpret_borrow<iterable>(src));
        }
        const auto labels = reinterpret_borrow<sequence>(items);
        value.values.clear();
        value.values.reserve(labels.size());
        std::size_t i = 0;
        for (const handle label : labels) {
            // Millions of labels take a while: Ctrl-C is honoured here too.
            if (++i % 65536 == 0 && PyErr_CheckSignals() != 0) throw error_already_set();
            const std::string position = "label " + std::to_string(i - 1);
            if (PyUnicode_Check(label.ptr())) {
                Py_ssize_t size = 0;
                const char* text = PyUnicode_AsUTF8AndSize(label.ptr(), &size);
                if (text == nullptr) {
                    PyErr_Clear();
                    throw type_error("labels must be text that UTF-8 can hold; " + position +
                                     " is a str with a lone surrogate");
                }
                value.values.emplace_back(text, static_cast<std::size_t>(size));
            } else if (PyBytes_Check(label.ptr())) {
                value.values.emplace_back(PyBytes_AS_STRING(label.ptr()),
                                          static_cast<std::size_t>(PyBytes_GET_SIZE(label.ptr())));
            } else if (PyByteArray_Check(label.ptr())) {
                value.values.emplace_back(PyByteArray_AS_STRING(label.ptr()),
                                          static_cast<std::size_t>(PyByteArray_GET_SIZE(label.ptr())));
            } else {
                throw type_error("labels must be str or bytes; " + position + " is " +
                                 Py_TYPE(label.ptr())->tp_name);
            }
        }
        return true;
    }

    static handle cast(const LabelList&, return_value_policy, handle) {
        pybind11_fail("LabelList is an argument type only");
    }
};

// `cls.__new__(cls)` (the first step of unpickling) makes an object whose
// C++ value was never constructed; every method refuses it instead of
// reading uninitialised memory.
template <typename T>
struct initialised_caster : type_caster_base<T> {
    bool load(handle src, bool convert) {
        if (!type_caster_base<T>::load(src, convert)) return false;
        if (src.is_none()) return true;
        auto* inst = reinterpret_cast<instance*>(src.ptr());
        if (!inst->get_value_and_holder(get_type_info(typeid(T))).holder_constructed()) {
            throw type_error(std::string(str(type::handle_of(src).attr("__name__"))) +
                             " object is not initialised: its __init__ was never called");
        }
        return true;
    }
};

template <>
class type_caster<KNNConfig> : public initialised_caster<KNNConfig> {};
template <>
class type_caster<KNNEngine> : public initialised_caster<KNNEngine> {};
template <>
class type_caster<quorvane::AdaptivePCA> : public initialised_caster<quorvane::AdaptivePCA> {};

}  // namespace pybind11::detail

namespace {

// Saved state layout. Version 3 is the model file's image (the bytes save
// writes); version 2 names the byte order of its doubles (always written
// little-endian); version 1, from 0.1, holds them in the saving machine's
// order, which is read as this machine's. All three load.
constexpr int kImageStateVersion = 3;
constexpr int kStateVersion = 2;
constexpr int kLegacyStateVersion = 1;

[[noreturn]] void bad_state(const std::string& why) { throw py::value_error("invalid quorvane state: " + why); }

template <typename T>
T state_item(const py::tuple& t, std::size_t i, const char* what) {
    try {
        return t[i].cast<T>();
    } catch (const py::cast_error&) {
        bad_state(std::string(what) + " has the wrong type");
    } catch (const py::type_error&) {
        bad_state(std::string(what) + " has the wrong type");
    }
}

bool host_is_little_endian() {
    const std::uint16_t probe = 1;
    unsigned char first;
    std::memcpy(&first, &probe, 1);
    return first == 1;
}

// Doubles travel as raw bytes in a stated order: exact, and sized so that a
// truncated or padded field is caught before anything is read.
py::bytes to_bytes(const double* data, Eigen::Index count) {
    std::string raw(reinterpret_cast<const char*>(data), static_cast<std::size_t>(count) * sizeof(double));
    if (!host_is_little_endian()) {
        for (std::size_t i = 0; i < raw.size(); i += sizeof(double)) std::reverse(raw.begin() + i, raw.begin() + i + 8);
    }
    return py::bytes(raw);
}

// A field of `count` doubles, checked against the bytes it claims before
// anything of that size is allocated.
struct DoubleField {
    std::string_view raw;
    Eigen::Index count;
};

DoubleField field(const py::tuple& t, std::size_t i, const char* what, Eigen::Index rows, Eigen::Index cols) {
    const auto raw = state_item<py::bytes>(t, i, what);
    const std::string_view view = raw;  // t keeps the bytes alive
    // Sizes are at most 2^31 - 1 each, so the element count fits in 64 bits;
    // the byte count is compared by division, which cannot overflow.
    const auto count = static_cast<unsigned long long>(rows) * static_cast<unsigned long long>(cols);
    if (view.size() % sizeof(double) != 0 || view.size() / sizeof(double) != count) {
        bad_state(std::string(what) + " holds " + std::to_string(view.size()) + " bytes, expected " +
                  std::to_string(count) + " doubles");
    }
    return {view, static_cast<Eigen::Index>(count)};
}

void read_doubles(const DoubleField& f, bool little_endian, double* out, const char* what) {
    if (f.count > 0) std::memcpy(out, f.raw.data(), f.raw.size());
    if (little_endian != host_is_little_endian()) {
        auto* bytes = reinterpret_cast<unsigned char*>(out);
        for (Eigen::Index i = 0; i < f.count; ++i) std::reverse(bytes + i * 8, bytes + i * 8 + 8);
    }
    for (Eigen::Index i = 0; i < f.count; ++i) {
        if (!std::isfinite(out[i])) bad_state(std::string(what) + " holds NaN or infinity");
    }
}

Eigen::Index state_size(const py::tuple& t, std::size_t i, const char* what) {
    const auto value = state_item<long long>(t, i, what);
    if (value < 0 || value > INT_MAX) bad_state(std::string(what) + " is out of range: " + std::to_string(value));
    return static_cast<Eigen::Index>(value);
}

py::tuple engine_state(const KNNEngine& engine) {
    std::string image;
    {
        py::gil_scoped_release nogil;
        image = engine.image();
    }
    return py::make_tuple(kImageStateVersion, py::bytes(image));
}

KNNEngine::State state_from_tuple(const py::tuple& t) {
    const auto version = state_item<long long>(t, 0, "version");
    if (version != kStateVersion && version != kLegacyStateVersion) bad_state("unknown version " + std::to_string(version));
    const std::size_t fields = version == kStateVersion ? 12 : 11;
    if (t.size() != fields) bad_state(std::to_string(t.size()) + " fields, expected " + std::to_string(fields));
    KNNEngine::State s;
    s.config.k = state_item<int>(t, 1, "k");
    s.config.variance = state_item<double>(t, 2, "variance");
    const Eigen::Index d = state_size(t, 3, "feature count");
    const Eigen::Index c = state_size(t, 4, "component count");
    const Eigen::Index n = state_size(t, 5, "sample count");
    bool little_endian = host_is_little_endian();
    std::size_t next = 6;
    if (version == kStateVersion) {
        const auto order = state_item<std::string>(t, next++, "byte order");
        if (order != "<" && order != ">") bad_state("byte order must be '<' or '>', got '" + order + "'");
        little_endian = order == "<";
    }
    const bool trained = d > 0;
    const Eigen::Index kept = trained ? c : 0;
    const DoubleField mean = field(t, next, "mean", d, 1);
    const DoubleField scale = field(t, next + 1, "scale", trained ? d : 0, 1);
    const DoubleField components = field(t, next + 2, "components", trained ? d : 0, kept);
    const DoubleField reference = field(t, next + 3, "reference", n, kept);
    // The labels' type and count are checked before any label is read: a
    // range or a generator claiming a billion labels is never walked.
    const py::handle labels = t[next + 4];
    if (!py::isinstance<py::list>(labels) && !py::isinstance<py::tuple>(labels)) {
        bad_state(std::string("labels must be a list of bytes, got ") + Py_TYPE(labels.ptr())->tp_name);
    }
    const auto count = static_cast<Eigen::Index>(py::len(labels));
    if (count != n) bad_state(std::to_string(count) + " labels for " + std::to_string(n) + " samples");

    s.mean.resize(d);
    read_doubles(mean, little_endian, s.mean.data(), "mean");
    s.feature_scale.resize(scale.count);
    read_doubles(scale, little_endian, s.feature_scale.data(), "scale");
    if ((s.feature_scale.array() <= 0.0).any()) bad_state("scale holds a divisor that is not positive");
    s.components.resize(trained ? d : 0, kept);
    read_doubles(components, little_endian, s.components.data(), "components");
    KNNEngine::State::RowMatrix rows(n, kept);
    read_doubles(reference, little_endian, rows.data(), "reference");
    s.reference = rows;
    s.labels.reserve(static_cast<std::size_t>(n));
    for (const py::handle label : py::reinterpret_borrow<py::sequence>(labels)) {
        if (!py::isinstance<py::bytes>(label)) bad_state("a label is not bytes");
        s.labels.emplace_back(py::reinterpret_borrow<py::bytes>(label));
    }
    return s;
}

// An engine's pickled state: the model file's image (version 3), or one of
// the tuples earlier versions wrote.
struct EngineState {
    std::optional<quorvane::format::ModelFile> file;
    std::optional<KNNEngine::State> fields;

    explicit EngineState(const py::tuple& t) {
        if (t.size() < 1) bad_state("empty");
        if (state_item<long long>(t, 0, "version") != kImageStateVersion) {
            fields = state_from_tuple(t);
            return;
        }
        if (t.size() != 2) bad_state(std::to_string(t.size()) + " fields, expected 2");
        if (!py::isinstance<py::bytes>(t[1])) bad_state("the model image is not bytes");
        const std::string_view image = py::reinterpret_borrow<py::bytes>(t[1]);
        py::gil_scoped_release nogil;
        file = quorvane::format::ModelFile::parse(image.data(), image.size(), true);
    }

    std::unique_ptr<KNNEngine> make() {
        py::gil_scoped_release nogil;
        return file ? std::make_unique<KNNEngine>(*file) : std::make_unique<KNNEngine>(std::move(*fields));
    }

    void into(KNNEngine& live) {
        py::gil_scoped_release nogil;  // waits for running queries to let go of the model
        if (file) {
            live.restore(*file);
        } else {
            live.restore(std::move(*fields));
        }
    }
};

// __setstate__ as pickle calls it on an object made by __new__, and as a
// caller may call it on a live one: there it replaces the value (for an
// engine, atomically, as train installs a model) instead of being ignored.
// pybind11 takes any function named __setstate__ for a constructor and skips
// it on a live object, so it is made under another name and installed.
// `make(state)` builds a new value, `replace(live, state)` loads into one.
template <typename T, typename Make, typename Replace>
void bind_setstate(py::class_<T>& cls, Make make, Replace replace) {
    const py::cpp_function set_state(
        [make, replace](py::handle self, const py::tuple& state) {
            if (!py::isinstance<T>(self)) throw py::type_error("__setstate__ needs an instance of its own class");
            auto* instance = reinterpret_cast<py::detail::instance*>(self.ptr());
            py::detail::value_and_holder v_h = instance->get_value_and_holder(py::detail::get_type_info(typeid(T)));
            std::unique_ptr<T> owned;
            // Sizes that agree in the state but not with each other are refused here.
            try {
                if (v_h.holder_constructed()) {
                    replace(*v_h.value_ptr<T>(), state);
                    return;
                }
                owned = make(state);
            } catch (const std::invalid_argument& e) {
                const std::string why = e.what();
                if (why.rfind("invalid quorvane", 0) == 0) throw;
                bad_state(why);
            }
            v_h.value_ptr() = owned.get();
            v_h.type->init_instance(instance, nullptr);  // the default holder takes it over
            owned.release();
        },
        py::name("_set_state"), py::is_method(cls), py::arg("state"), py::pos_only(), quorvane::docs::kSetState);
    cls.attr("__setstate__") = set_state;
}

// A path as Python gives it (str, bytes or os.PathLike), as the C library takes it.
std::string file_path(const py::object& path) {
    const py::object fs = py::module_::import("os").attr("fspath")(path);
    if (py::isinstance<py::bytes>(fs)) return fs.cast<std::string>();
    return py::str(fs).cast<std::string>();
}

py::array_t<double> read_only(py::array_t<double> a) {
    a.attr("flags").attr("writeable") = false;
    return a;
}

// A getter for one array of the engine's reduction, handed out read-only.
template <typename Field>
auto reduction_field(Field KNNEngine::Reduction::*field) {
    return [field](const KNNEngine& self) { return read_only(py::array_t<double>(py::cast(self.reduction().*field))); };
}

// Set while the scikit-learn estimator trains quietly; per thread, so one
// thread's quiet training never silences another's.
thread_local bool quiet = false;

// Progress lines go to Python's sys.stdout, so notebooks, redirect_stdout and
// test capture see them. A failing stream is reported as unraisable rather
// than failing a train that has already succeeded.
void write_to_python(const std::string& line) {
    py::gil_scoped_acquire gil;
    if (quiet) return;
    PyObject* out = PySys_GetObject("stdout");  // borrowed
    if (out == nullptr || out == Py_None) return;
    try {
        const py::handle stream(out);
        stream.attr("write")(line + "\n");
        stream.attr("flush")();
    } catch (py::error_already_set& e) {
        e.discard_as_unraisable("quorvane progress line");
    }
}

// Asked from the thread running a long train or batch, every few tens of
// milliseconds: a pending Ctrl-C raises KeyboardInterrupt there (on the main
// thread), and the error stays set for the call to return.
bool python_interrupt_requested() {
    py::gil_scoped_acquire gil;
    return PyErr_CheckSignals() != 0;
}

using Neighbours = py::typing::Tuple<py::array_t<double>, py::array_t<std::int64_t>>;

std::string config_repr(const KNNConfig& c) {
    return "KNNConfig(k=" + std::to_string(c.k) + ", variance=" + py::repr(py::float_(c.variance)).cast<std::string>() +
           ")";
}

std::string engine_repr(const KNNEngine& e) {
    const std::string config = config_repr(e.settings());
    if (e.n_features() == 0) return "KNNEngine(" + config + ", untrained)";
    return "KNNEngine(" + config + ", trained on " + std::to_string(e.n_samples()) + " samples of " +
           std::to_string(e.n_features()) + " features, " + std::to_string(e.n_components()) + " components)";
}

// A one-dimensional X reads as one column; said in so many words when that
// is why its width differs from the engine's.
void check_two_dimensional(const KNNEngine& self, const MatrixArg& X) {
    if (X.ndim != 1) return;
    const Eigen::Index features = self.n_features();
    if (features == 0 || features == 1) return;
    throw py::value_error("X must be two-dimensional (samples x features): a one-dimensional X of " +
                          std::to_string(X.view->rows()) + " values reads as one column, but the engine was trained with " +
                          std::to_string(features) + " features");
}

Neighbours kneighbors(const KNNEngine& self, const MatrixArg& X, int k) {
    // Refused before k columns are allocated for every row.
    self.check_neighbour_count(k);
    check_two_dimensional(self, X);
    const py::ssize_t rows = X.view->rows(), cols = k;
    py::array_t<double> distances({rows, cols});
    py::array_t<std::int64_t> indices({rows, cols});
    double* const d = distances.mutable_data();
    std::int64_t* const i = indices.mutable_data();
    {
        py::gil_scoped_release nogil;
        self.kneighbors(*X.view, k, d, i);
    }
    return py::reinterpret_steal<Neighbours>(py::make_tuple(std::move(distances), std::move(indices)).release());
}

// The pieces quorvane.dask trains and searches with when the training rows
// are split over many processes: the reduction's per-block steps, a reference
// shard, and an engine put together from a finished model and its rows.
void bind_sharding(py::module_& m) {
    using quorvane::AdaptivePCA;
    using Index = Eigen::Index;
    py::class_<AdaptivePCA>(m, "_AdaptivePCA")
        .def(py::init<double>())
        .def_static("column_sums", [](const MatrixArg& X, const Eigen::VectorXd& units, Index first_row) {
            return AdaptivePCA::column_sums(*X.view, units, first_row);
        })
        // The sums in unit 1 and each column's largest magnitude, from one read.
        .def_static("column_sums_max", [](const MatrixArg& X, Index first_row) {
            Eigen::VectorXd largest;
            Eigen::VectorXd sums = AdaptivePCA::column_sums(*X.view, Eigen::VectorXd::Ones(X.view->cols()),
                                                            first_row, &largest);
            return std::make_pair(std::move(sums), std::move(largest));
        })
        .def_static("units_for", &AdaptivePCA::units_for)
        .def_static("squared_deviations",
                    [](const MatrixArg& X, const Eigen::VectorXd& mean, const Eigen::VectorXd& units) {
                        return AdaptivePCA::squared_deviations(*X.view, mean, units);
                    })
        .def_static("deviations", &AdaptivePCA::deviations)
        .def("set_moments", &AdaptivePCA::set_moments)
        // The chunk products run without the GIL, beside a worker's other tasks.
        .def("cross_product", [](const AdaptivePCA& p, const MatrixArg& X) { return p.cross_product(*X.view); },
             py::call_guard<py::gil_scoped_release>())
        .def("gram_block", [](const AdaptivePCA& p, const MatrixArg& A, const MatrixArg& B) {
            return p.gram_block(*A.view, *B.view);
        }, py::call_guard<py::gil_scoped_release>())
        .def("back_project", [](const AdaptivePCA& p, const MatrixArg& X, const MatrixArg& V) {
            return p.back_project(*X.view, *V.view);
        }, py::call_guard<py::gil_scoped_release>())
        .def("finish_standard", &AdaptivePCA::finish_standard)
        .def("gram_eigenpairs", [](const AdaptivePCA& p, const Eigen::MatrixXd& gram) {
            Eigen::VectorXd values;
            Eigen::MatrixXd vectors;
            p.gram_eigenpairs(gram, values, vectors);
            return py::make_tuple(values, vectors);
        })
        .def("finish_thin", &AdaptivePCA::finish_thin)
        .def("restore", [](AdaptivePCA& p, Eigen::VectorXd mean, Eigen::VectorXd scale, Eigen::MatrixXd components) {
            p.restore(std::move(mean), std::move(scale), std::move(components));
        })
        // Projects the rows of X; a row with NaN or infinity is named, counted from first_row.
        .def("transform", [](const AdaptivePCA& p, const MatrixArg& X, Index first_row, const std::string& what) {
            if (!p.fitted()) throw py::value_error("the reduction is not fitted");
            KNNEngine::State::RowMatrix Z(X.view->rows(), p.n_components);
            p.project_finite(*X.view, 0, Z.rows(), Z.data(), what.c_str(), first_row);
            return Z;
        }, py::arg("X"), py::arg("first_row"), py::arg("what") = "X")
        .def_readonly("n_components", &AdaptivePCA::n_components)
        .def_readonly("mean", &AdaptivePCA::mean)
        .def_readonly("feature_scale", &AdaptivePCA::feature_scale)
        .def_readonly("components", &AdaptivePCA::components)
        .def_readonly("explained_variance", &AdaptivePCA::explained_variance)
        .def_readonly("total_variance", &AdaptivePCA::total_variance);

    m.def("_engine_from_parts",
          [](const KNNConfig& config, Eigen::VectorXd mean, Eigen::VectorXd scale, Eigen::MatrixXd components,
             Eigen::VectorXd explained, double total, Eigen::MatrixXd reference, LabelList labels) {
              KNNEngine::State s;
              s.config = config;
              s.mean = std::move(mean);
              s.feature_scale = std::move(scale);
              s.components = std::move(components);
              s.explained_variance = std::move(explained);
              s.total_variance = total;
              s.reference = std::move(reference);
              s.labels = std::move(labels.values);
              py::gil_scoped_release nogil;
              return std::make_unique<KNNEngine>(std::move(s));
          });
}

}  // namespace

PYBIND11_MODULE(_core, m) {
    m.doc() = "C++ KNN Engine with Adaptive PCA support";
    quorvane::console::set_sink(&write_to_python);
    quorvane::common::set_interrupt_poll(&python_interrupt_requested);
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const quorvane::format::FileError& e) {
            // OSError(errno, text, path) becomes FileNotFoundError and its kin.
            const py::object error = py::module_::import("builtins").attr("OSError")(e.error, std::strerror(e.error), e.path);
            PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
        } catch (const quorvane::common::Interrupted&) {
            // The poll has set KeyboardInterrupt (or whatever the handler raised).
            if (PyErr_Occurred() == nullptr) PyErr_SetNone(PyExc_KeyboardInterrupt);
        }
    });
    m.def("_set_quiet", [](bool on) { return std::exchange(quiet, on); },
          "Silences this thread's progress lines; returns the previous setting.");

    // The classes are registered as the package's own, quorvane.KNNConfig and
    // quorvane.KNNEngine: their signatures and repr say so, and pickles made
    // when the module was top-level still load.
    const py::object own_name = m.attr("__name__");
    m.attr("__name__") = "quorvane";

    // The kernels are chosen once, here: QUORVANE_SIMD names a level, or
    // "auto" (the default) takes the best this CPU runs.
    const char* simd = std::getenv("QUORVANE_SIMD");
    try {
        quorvane::linalg::select_simd_level(simd != nullptr && *simd != '\0' ? simd : "auto");
    } catch (const std::invalid_argument& e) {
        throw py::import_error(std::string("QUORVANE_SIMD: ") + e.what());
    }
    m.def("simd_level", [] { return std::string(quorvane::linalg::kernels().name); }, quorvane::docs::kSimdLevel);

    namespace docs = quorvane::docs;
    py::class_<KNNConfig> config(m, "KNNConfig", docs::kConfig);
    config.def(py::init<>(), docs::kConfigInit)
        .def_readwrite("k", &KNNConfig::k, docs::kConfigK)
        .def_readwrite("variance", &KNNConfig::variance, docs::kConfigVariance)
        .def("__repr__", &config_repr)
        .def("__getstate__", [](const KNNConfig& c) { return py::make_tuple(c.k, c.variance); }, py::pos_only(),
             "The config as (k, variance), for pickle.");
    bind_setstate(
        config,
        [](const py::tuple& t) {
            if (t.size() != 2) bad_state("a KNNConfig state has 2 fields, got " + std::to_string(t.size()));
            auto c = std::make_unique<KNNConfig>();
            c->k = state_item<int>(t, 0, "k");
            c->variance = state_item<double>(t, 1, "variance");
            return c;
        },
        [](KNNConfig& live, const py::tuple& t) {
            if (t.size() != 2) bad_state("a KNNConfig state has 2 fields, got " + std::to_string(t.size()));
            const auto k = state_item<int>(t, 0, "k");
            live.variance = state_item<double>(t, 1, "variance");
            live.k = k;
        });

    py::class_<KNNEngine> engine(m, "KNNEngine", docs::kEngine);
    engine.def(py::init<KNNConfig>(), docs::kEngineInit)
        .def(
            "train",
            [](KNNEngine& self, const MatrixArg& X, LabelList y, bool scale) {
                self.train(*X.view, std::move(y.values), scale);
            },
            py::arg("X"), py::arg("y"), py::arg("scale") = false, py::call_guard<py::gil_scoped_release>(),
            docs::kTrain)
        // Arguments are converted before the GIL is released and results after
        // it is taken back; only the numeric work runs without it.
        .def("predict", &KNNEngine::predict, py::call_guard<py::gil_scoped_release>(), docs::kPredict)
        .def("predict_batch",
             [](const KNNEngine& self, const MatrixArg& X) {
                 if (X.view->rows() > 0) check_two_dimensional(self, X);
                 py::gil_scoped_release nogil;
                 return self.predict_batch(*X.view);
             }, docs::kPredictBatch)
        .def_property_readonly("n_components", &KNNEngine::n_components, docs::kNComponents)
        .def("kneighbors", &kneighbors, py::arg("X"), py::arg("k"), docs::kKneighbors)
        .def("__repr__", &engine_repr)
        // The estimator's kneighbors() without X: from the rows the engine holds.
        .def("_training_neighbours",
             [](const KNNEngine& self, int k) {
                 self.check_neighbour_count(k);
                 const py::ssize_t rows = self.n_samples();
                 py::array_t<double> distances({rows, py::ssize_t{k}});
                 py::array_t<std::int64_t> indices({rows, py::ssize_t{k}});
                 double* const d = distances.mutable_data();
                 std::int64_t* const i = indices.mutable_data();
                 {
                     py::gil_scoped_release nogil;
                     self.training_neighbours(k, d, i);
                 }
                 return py::make_tuple(std::move(distances), std::move(indices));
             })
        .def("transform",
             [](const KNNEngine& self, const MatrixArg& X) {
                 check_two_dimensional(self, X);
                 py::array_t<double> out({static_cast<py::ssize_t>(X.view->rows()),
                                          static_cast<py::ssize_t>(self.n_components())});
                 double* const data = out.mutable_data();
                 {
                     py::gil_scoped_release nogil;
                     self.transform(*X.view, data);
                 }
                 return out;
             }, py::arg("X"), docs::kTransform)
        .def_property_readonly("mean", reduction_field(&KNNEngine::Reduction::mean), docs::kMean)
        .def_property_readonly("feature_scale", reduction_field(&KNNEngine::Reduction::feature_scale), docs::kFeatureScale)
        .def_property_readonly("components", reduction_field(&KNNEngine::Reduction::components), docs::kComponents)
        .def_property_readonly("explained_variance", reduction_field(&KNNEngine::Reduction::explained_variance), docs::kExplainedVariance)
        .def_property_readonly("explained_variance_ratio", [](const KNNEngine& self) {
            const KNNEngine::Reduction r = self.reduction();
            return read_only(py::array_t<double>(py::cast(Eigen::VectorXd(r.explained_variance / r.total_variance))));
        }, docs::kExplainedVarianceRatio)
        .def(
            "save",
            [](const KNNEngine& self, const py::object& path) {
                const std::string where = file_path(path);
                py::gil_scoped_release nogil;
                self.save(where);
            },
            py::arg("path"), docs::kSave)
        // A shard of a reference set split over processes: its nearest rows for
        // queries already reduced, and its labels' counts.
        .def("_nearest",
             [](const KNNEngine& self, const Eigen::Ref<const KNNEngine::State::RowMatrix>& P, int k) {
                 if (P.cols() != self.n_components()) {
                     throw py::value_error("queries have " + std::to_string(P.cols()) + " components, but the engine keeps " +
                                           std::to_string(self.n_components()));
                 }
                 const py::ssize_t rows = P.rows(), m = std::clamp<Eigen::Index>(k, 0, self.n_samples());
                 py::array_t<double> sq({rows, m});
                 py::array_t<std::int64_t> indices({rows, m});
                 py::array_t<int> ranks({rows, m});
                 double* const s = sq.mutable_data();
                 std::int64_t* const i = indices.mutable_data();
                 int* const r = ranks.mutable_data();
                 {
                     py::gil_scoped_release nogil;
                     self.nearest_reduced(P.data(), P.rows(), P.cols(), k, s, i, r);
                 }
                 return py::make_tuple(std::move(sq), std::move(indices), std::move(ranks));
             })
        // The reduction exactly as held, total variance included.
        .def("_reduction",
             [](const KNNEngine& self) {
                 KNNEngine::Reduction r = self.reduction();
                 return py::make_tuple(r.mean, r.feature_scale, r.components, r.explained_variance, r.total_variance);
             })
        .def("_reference",
             [](const KNNEngine& self) {
                 KNNEngine::State s = self.state();
                 py::list labels;
                 for (const std::string& label : s.labels) labels.append(py::bytes(label));
                 return py::make_tuple(KNNEngine::State::RowMatrix(s.reference), labels);
             })
        .def("_label_counts",
             [](const KNNEngine& self) {
                 py::list names;
                 for (const std::string& name : self.distinct_labels()) names.append(py::bytes(name));
                 return py::make_tuple(names, py::array(py::cast(self.label_counts())));
             })
        .def("__getstate__", &engine_state, py::pos_only(), docs::kGetState);
    m.def(
        "_load",
        [](const py::object& path, bool map, bool verify) {
            const std::string where = file_path(path);
            py::gil_scoped_release nogil;
            return std::make_unique<KNNEngine>(quorvane::format::ModelFile::open(where, map, verify));
        },
        py::arg("path"), py::arg("mmap"), py::arg("verify"), "The engine a model file holds: see quorvane.load.");
    bind_setstate(
        engine, [](const py::tuple& t) { return EngineState(t).make(); },
        [](KNNEngine& live, const py::tuple& t) { EngineState(t).into(live); });
    m.attr("__name__") = own_name;
    bind_sharding(m);
}
