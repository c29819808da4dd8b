// The two families of classes, elastic and funnel.
//
// Everything the binding layer builds twice - a map class, three views,
// three iterators - is one template over a Family.  A Family names its core
// map (over HashedAny keys and owned object values), the core's option
// struct and the options class that holds one, and the Python-visible and
// native names of its seven classes.  Nothing else differs between the
// families, so a behaviour of the binding is written once for both.
#pragma once

#include <array>
#include <cstdint>

#include "elastic/elastic_map.hpp"
#include "funnel/funnel_map.hpp"
#include "python/hashed_any.hpp"
#include "python/options.hpp"
#include "python/owned_ref.hpp"

namespace quorvel::python {

// The three element kinds of views and iterators, in registration order.
enum class Element : std::uint8_t { keys = 0, values = 1, items = 2 };

struct ElasticFamily {
    using Core = quorvel::ElasticHashMap<HashedAny, OwnedRef>;
    using Options = quorvel::ElasticOptions;
    using OptionsClass = ElasticOptionsClass;

    static constexpr const char* map_name = "ElasticHashMap";
    static constexpr const char* map_spec_name = "quorvel.ElasticHashMap";
    static constexpr const char* native_map_name = "PyElasticHashMap";
    static constexpr const char* map_doc = "ElasticHashMap(other=None, *, capacity=0)\n--\n\n";
    static constexpr std::array<const char*, 3> view_names{"elastic_keys", "elastic_values", "elastic_items"};
    static constexpr std::array<const char*, 3> view_spec_names{
        "quorvel.elastic_keys", "quorvel.elastic_values", "quorvel.elastic_items"};
    static constexpr std::array<const char*, 3> native_view_names{
        "PyElasticKeysView", "PyElasticValuesView", "PyElasticItemsView"};
    static constexpr std::array<const char*, 3> iterator_names{
        "_ElasticKeyIter", "_ElasticValueIter", "_ElasticItemIter"};
    static constexpr std::array<const char*, 3> iterator_spec_names{
        "quorvel._ElasticKeyIter", "quorvel._ElasticValueIter", "quorvel._ElasticItemIter"};
    static constexpr std::array<const char*, 3> native_iterator_names{
        "PyElasticKeyIter", "PyElasticValueIter", "PyElasticItemIter"};
};

struct FunnelFamily {
    using Core = quorvel::FunnelHashMap<HashedAny, OwnedRef>;
    using Options = quorvel::FunnelOptions;
    using OptionsClass = FunnelOptionsClass;

    static constexpr const char* map_name = "FunnelHashMap";
    static constexpr const char* map_spec_name = "quorvel.FunnelHashMap";
    static constexpr const char* native_map_name = "PyFunnelHashMap";
    static constexpr const char* map_doc = "FunnelHashMap(other=None, *, capacity=0)\n--\n\n";
    static constexpr std::array<const char*, 3> view_names{"funnel_keys", "funnel_values", "funnel_items"};
    static constexpr std::array<const char*, 3> view_spec_names{
        "quorvel.funnel_keys", "quorvel.funnel_values", "quorvel.funnel_items"};
    static constexpr std::array<const char*, 3> native_view_names{
        "PyFunnelKeysView", "PyFunnelValuesView", "PyFunnelItemsView"};
    static constexpr std::array<const char*, 3> iterator_names{
        "_FunnelKeyIter", "_FunnelValueIter", "_FunnelItemIter"};
    static constexpr std::array<const char*, 3> iterator_spec_names{
        "quorvel._FunnelKeyIter", "quorvel._FunnelValueIter", "quorvel._FunnelItemIter"};
    static constexpr std::array<const char*, 3> native_iterator_names{
        "PyFunnelKeyIter", "PyFunnelValueIter", "PyFunnelItemIter"};
};

}  // namespace quorvel::python
