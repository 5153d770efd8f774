// The only translation unit that knows Python: it converts and forwards.
#include <climits>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>
#include <string>
#include <vector>

#include <pybind11/eigen.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "engine/KNNConfig.h"
#include "engine/KNNEngine.h"
#include "linalg/Kernels.h"

namespace py = pybind11;
using quorvane::KNNConfig;
using quorvane::KNNEngine;
using quorvane::MatrixView;

namespace {

/// A matrix argument: a view of the caller's float64 array when it has one,
/// otherwise a converted copy. The view is only read while the call holds the GIL.
struct MatrixArg {
    Eigen::MatrixXd owned;
    std::optional<MatrixView> view;
};

}  // namespace

namespace pybind11::detail {

// Accepts exactly what the Eigen dense-matrix conversion accepts, under the
// same signature, but skips the copy for arrays that already are float64.
template <>
struct type_caster<MatrixArg> {
    using ViewCaster = make_caster<MatrixView>;
    using CopyCaster = make_caster<Eigen::MatrixXd>;

    PYBIND11_TYPE_CASTER(MatrixArg, CopyCaster::name);

    // Zero or negative strides (broadcast or reversed arrays) are copied:
    // the view would misread them.
    static bool viewable(handle src) {
        if (!isinstance<array>(src)) return false;
        const auto a = reinterpret_borrow<array>(src);
        for (ssize_t i = 0; i < a.ndim(); ++i) {
            if (a.strides(i) <= 0 || a.strides(i) % static_cast<ssize_t>(sizeof(double)) != 0) return false;
        }
        return true;
    }

    bool load(handle src, bool convert) {
        ViewCaster view;
        if (viewable(src) && view.load(src, false)) {
            value.view.emplace(static_cast<MatrixView&>(view));
            return true;
        }
        CopyCaster copy;
        if (!copy.load(src, convert)) return false;
        value.owned = std::move(static_cast<Eigen::MatrixXd&>(copy));
        value.view.emplace(value.owned);
        return true;
    }

    static handle cast(const MatrixArg&, return_value_policy, handle) {
        pybind11_fail("MatrixArg is an argument type only");
    }
};

}  // namespace pybind11::detail

namespace {

// Saved state layout; loading refuses any other version.
constexpr int kStateVersion = 1;

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

// Doubles travel as raw native bytes: exact, and sized so that a truncated
// or padded field is caught before anything is read.
py::bytes to_bytes(const double* data, Eigen::Index count) {
    return py::bytes(reinterpret_cast<const char*>(data), static_cast<std::size_t>(count) * sizeof(double));
}

void from_bytes(const py::bytes& raw, double* out, Eigen::Index count, const char* what) {
    const std::string_view view = raw;
    if (view.size() != static_cast<std::size_t>(count) * sizeof(double)) {
        bad_state(std::string(what) + " holds " + std::to_string(view.size()) + " bytes, expected " +
                  std::to_string(count * static_cast<Eigen::Index>(sizeof(double))));
    }
    if (count > 0) std::memcpy(out, view.data(), view.size());
}

Eigen::Index state_size(const py::tuple& t, std::size_t i, const char* what) {
    const auto value = state_item<long long>(t, i, what);
    if (value < 0 || value > INT_MAX) bad_state(std::string(what) + " is out of range: " + std::to_string(value));
    return static_cast<Eigen::Index>(value);
}

py::tuple engine_state(const KNNEngine& engine) {
    const KNNEngine::State s = engine.state();
    const Eigen::Index d = s.mean.size(), c = s.components.cols(), n = s.reference.rows();
    const KNNEngine::State::RowMatrix reference = s.reference;  // row by row
    py::list labels;
    for (const std::string& label : s.labels) labels.append(py::bytes(label));
    return py::make_tuple(kStateVersion, s.config.k, s.config.variance, d, c, n,
                          to_bytes(s.mean.data(), d), to_bytes(s.feature_scale.data(), s.feature_scale.size()),
                          to_bytes(s.components.data(), s.components.size()),
                          to_bytes(reference.data(), reference.size()), labels);
}

std::unique_ptr<KNNEngine> engine_from_state(const py::tuple& t) {
    if (t.size() < 1) bad_state("empty");
    const auto version = state_item<long long>(t, 0, "version");
    if (version != kStateVersion) bad_state("unknown version " + std::to_string(version));
    if (t.size() != 11) bad_state(std::to_string(t.size()) + " fields, expected 11");
    KNNEngine::State s;
    s.config.k = state_item<int>(t, 1, "k");
    s.config.variance = state_item<double>(t, 2, "variance");
    const Eigen::Index d = state_size(t, 3, "feature count");
    const Eigen::Index c = state_size(t, 4, "component count");
    const Eigen::Index n = state_size(t, 5, "sample count");
    const bool trained = d > 0;
    s.mean.resize(d);
    s.feature_scale.resize(trained ? d : 0);
    s.components.resize(trained ? d : 0, trained ? c : 0);
    from_bytes(state_item<py::bytes>(t, 6, "mean"), s.mean.data(), s.mean.size(), "mean");
    from_bytes(state_item<py::bytes>(t, 7, "scale"), s.feature_scale.data(), s.feature_scale.size(), "scale");
    from_bytes(state_item<py::bytes>(t, 8, "components"), s.components.data(), s.components.size(), "components");
    KNNEngine::State::RowMatrix reference(n, trained ? c : 0);
    from_bytes(state_item<py::bytes>(t, 9, "reference"), reference.data(), reference.size(), "reference");
    s.reference = reference;
    const auto labels = state_item<py::list>(t, 10, "labels");
    if (static_cast<Eigen::Index>(labels.size()) != n) {
        bad_state(std::to_string(labels.size()) + " labels for " + std::to_string(n) + " samples");
    }
    for (const py::handle label : labels) {
        if (!py::isinstance<py::bytes>(label)) bad_state("a label is not bytes");
        s.labels.emplace_back(py::reinterpret_borrow<py::bytes>(label));
    }
    try {
        return std::make_unique<KNNEngine>(std::move(s));
    } catch (const std::invalid_argument& e) {
        bad_state(e.what());
    }
}

}  // namespace

PYBIND11_MODULE(quorvane, m) {
    m.doc() = "C++ KNN Engine with Adaptive PCA support";

    // The kernels are chosen once, here: QUORVANE_SIMD names a level, or
    // "auto" (the default) takes the best this CPU runs.
    const char* simd = std::getenv("QUORVANE_SIMD");
    try {
        quorvane::linalg::select_simd_level(simd != nullptr && *simd != '\0' ? simd : "auto");
    } catch (const std::invalid_argument& e) {
        throw py::import_error(std::string("QUORVANE_SIMD: ") + e.what());
    }
    m.def("simd_level", [] { return std::string(quorvane::linalg::kernels().name); },
          "The instruction set the kernels use: 'avx2', 'neon' or 'portable'. Every level gives the same bits.");

    py::class_<KNNConfig>(m, "KNNConfig")
        .def(py::init<>())
        .def_readwrite("k", &KNNConfig::k)
        .def_readwrite("variance", &KNNConfig::variance)
        .def(py::pickle(
            [](const KNNConfig& c) { return py::make_tuple(c.k, c.variance); },
            [](const py::tuple& t) {
                if (t.size() != 2) bad_state("a KNNConfig state has 2 fields, got " + std::to_string(t.size()));
                KNNConfig c;
                c.k = state_item<int>(t, 0, "k");
                c.variance = state_item<double>(t, 1, "variance");
                return c;
            }));

    py::class_<KNNEngine>(m, "KNNEngine")
        .def(py::init<KNNConfig>())
        .def(
            "train",
            [](KNNEngine& self, const MatrixArg& X, const std::vector<std::string>& y, bool scale) {
                self.train(*X.view, y, scale);
            },
            py::arg("X"), py::arg("y"), py::arg("scale") = false)
        .def("predict", &KNNEngine::predict)
        .def("predict_batch",
             [](const KNNEngine& self, const MatrixArg& X) { return self.predict_batch(*X.view); })
        .def_property_readonly("n_components", &KNNEngine::n_components,
                               "Components kept by the last successful train; 0 before the first.")
        .def(py::pickle(&engine_state, &engine_from_state));
}
