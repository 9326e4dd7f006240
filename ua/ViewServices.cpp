// Browse, BrowseNext, TranslateBrowsePathsToNodeIds, RegisterNodes and
// UnregisterNodes.
#include "Server.h"

#include <algorithm>
#include <cstring>

namespace ua {

namespace {

constexpr std::uint32_t kResultReferenceType = 0x01, kResultIsForward = 0x02, kResultNodeClass = 0x04,
                        kResultBrowseName = 0x08, kResultDisplayName = 0x10, kResultTypeDefinition = 0x20;

} // namespace

BrowseResult Server::page(Session& session, std::vector<ReferenceDescription> refs, std::uint32_t maxRefs)
{
    BrowseResult result;
    if (refs.size() <= maxRefs) {
        result.references = std::move(refs);
        return result;
    }
    if (session.continuationPoints.size() >= static_cast<std::size_t>(limits::kMaxBrowseContinuationPoints)) {
        result.statusCode = sc::BadNoContinuationPoints;
        return result;
    }
    std::string point(8, '\0');
    const std::uint64_t n = session.nextContinuationPoint++;
    std::memcpy(point.data(), &n, 8);
    Session::ContinuationPoint& cp = session.continuationPoints[point];
    cp.rest.assign(std::make_move_iterator(refs.begin() + maxRefs), std::make_move_iterator(refs.end()));
    cp.maxReferences = maxRefs;
    refs.resize(maxRefs);
    result.references = std::move(refs);
    result.continuationPoint.data = point;
    return result;
}

BrowseResult Server::browseOne(Session& session, const BrowseDescription& d, std::uint32_t maxRefs)
{
    BrowseResult result;
    const int index = space_.IndexOf(d.nodeId);
    if (index < 0) {
        result.statusCode = sc::BadNodeIdUnknown;
        return result;
    }
    if (d.browseDirection != BrowseDirection::Forward && d.browseDirection != BrowseDirection::Inverse &&
        d.browseDirection != BrowseDirection::Both) {
        result.statusCode = sc::BadBrowseDirectionInvalid;
        return result;
    }
    const bool anyType = d.referenceTypeId.IsNull();
    if (!anyType && (!space_.IsReferenceType(d.referenceTypeId))) {
        result.statusCode = sc::BadReferenceTypeIdInvalid;
        return result;
    }
    std::vector<ReferenceDescription> refs;
    for (const Reference& r : space_.At(index).refs) {
        if ((r.forward && d.browseDirection == BrowseDirection::Inverse) ||
            (!r.forward && d.browseDirection == BrowseDirection::Forward))
            continue;
        if (!anyType && r.type != d.referenceTypeId.numeric &&
            !(d.includeSubtypes && space_.IsSubtype(r.type, d.referenceTypeId.numeric)))
            continue;
        const Node& target = space_.At(r.target);
        if (d.nodeClassMask != 0 && (d.nodeClassMask & static_cast<std::uint32_t>(target.nodeClass)) == 0)
            continue;
        ReferenceDescription rd;
        rd.nodeId.id = target.id;
        if (d.resultMask & kResultReferenceType)
            rd.referenceTypeId = NodeId::Numeric(r.type);
        if (d.resultMask & kResultIsForward)
            rd.isForward = r.forward;
        else
            rd.isForward = false;
        if (d.resultMask & kResultNodeClass)
            rd.nodeClass = target.nodeClass;
        if (d.resultMask & kResultBrowseName)
            rd.browseName = target.browseName;
        if (d.resultMask & kResultDisplayName)
            rd.displayName = target.displayName;
        if ((d.resultMask & kResultTypeDefinition) && target.typeDefinition != 0 &&
            (target.nodeClass == NodeClass::Object || target.nodeClass == NodeClass::Variable))
            rd.typeDefinition.id = NodeId::Numeric(target.typeDefinition);
        refs.push_back(std::move(rd));
    }
    return page(session, std::move(refs), maxRefs);
}

void Server::browse(Call& call, BrowseRequest& r)
{
    if (!r.view.viewId.IsNull()) {
        fault(call, sc::BadViewIdUnknown);
        return;
    }
    if (const StatusCode s = checkCount(r.nodesToBrowse.size(), limits::kMaxNodesPerBrowse); IsBad(s)) {
        fault(call, s);
        return;
    }
    const std::uint32_t maxRefs = r.requestedMaxReferencesPerNode == 0
                                      ? limits::kMaxReferencesPerNode
                                      : std::min(r.requestedMaxReferencesPerNode, limits::kMaxReferencesPerNode);
    BrowseResponse response;
    std::vector<StatusCode> statuses;
    for (const BrowseDescription& d : r.nodesToBrowse) {
        response.results.push_back(browseOne(*call.session, d, maxRefs));
        statuses.push_back(response.results.back().statusCode);
    }
    diagnose(call, response.header, response.diagnosticInfos, statuses);
    respond(call, enc::BrowseResponse, response);
}

void Server::browseNext(Call& call, BrowseNextRequest& r)
{
    if (const StatusCode s = checkCount(r.continuationPoints.size(), limits::kMaxNodesPerBrowse); IsBad(s)) {
        fault(call, s);
        return;
    }
    Session& session = *call.session;
    BrowseNextResponse response;
    std::vector<StatusCode> statuses;
    for (const Bytes& point : r.continuationPoints) {
        BrowseResult result;
        const auto it = session.continuationPoints.find(point.data);
        if (it == session.continuationPoints.end()) {
            result.statusCode = sc::BadContinuationPointInvalid;
        } else {
            Session::ContinuationPoint cp = std::move(it->second);
            session.continuationPoints.erase(it);
            if (!r.releaseContinuationPoints)
                result = page(session, std::move(cp.rest), cp.maxReferences);
        }
        statuses.push_back(result.statusCode);
        response.results.push_back(std::move(result));
    }
    diagnose(call, response.header, response.diagnosticInfos, statuses);
    respond(call, enc::BrowseNextResponse, response);
}

void Server::translate(Call& call, TranslateBrowsePathsToNodeIdsRequest& r)
{
    if (const StatusCode s = checkCount(r.browsePaths.size(), limits::kMaxNodesPerTranslate); IsBad(s)) {
        fault(call, s);
        return;
    }
    TranslateBrowsePathsToNodeIdsResponse response;
    std::vector<StatusCode> statuses;
    for (const BrowsePath& path : r.browsePaths) {
        BrowsePathResult result;
        const int start = space_.IndexOf(path.startingNode);
        const auto& elements = path.relativePath.elements;
        if (start < 0) {
            result.statusCode = sc::BadNodeIdUnknown;
        } else if (elements.empty()) {
            result.statusCode = sc::BadNothingToDo;
        } else {
            std::vector<int> current{start};
            for (std::size_t e = 0; e < elements.size() && result.statusCode == sc::Good; ++e) {
                const RelativePathElement& el = elements[e];
                const bool last = e + 1 == elements.size();
                if (el.targetName.name.empty() && !last) {
                    result.statusCode = sc::BadBrowseNameInvalid;
                    break;
                }
                if (!el.referenceTypeId.IsNull() && !space_.IsReferenceType(el.referenceTypeId)) {
                    result.statusCode = sc::BadNoMatch;
                    break;
                }
                std::vector<int> next;
                for (int n : current)
                    for (const Reference& ref : space_.At(n).refs) {
                        if (ref.forward == el.isInverse)
                            continue;
                        if (!el.referenceTypeId.IsNull() && ref.type != el.referenceTypeId.numeric &&
                            !(el.includeSubtypes && space_.IsSubtype(ref.type, el.referenceTypeId.numeric)))
                            continue;
                        if (!el.targetName.name.empty() && !(space_.At(ref.target).browseName == el.targetName))
                            continue;
                        if (std::find(next.begin(), next.end(), ref.target) == next.end())
                            next.push_back(ref.target);
                    }
                current = std::move(next);
                if (current.empty())
                    result.statusCode = sc::BadNoMatch;
            }
            if (result.statusCode == sc::Good)
                for (int n : current)
                    result.targets.push_back({ExpandedNodeId{space_.At(n).id, {}, 0}, 0xFFFFFFFF});
        }
        statuses.push_back(result.statusCode);
        response.results.push_back(std::move(result));
    }
    diagnose(call, response.header, response.diagnosticInfos, statuses);
    respond(call, enc::TranslateBrowsePathsToNodeIdsResponse, response);
}

void Server::registerNodes(Call& call, RegisterNodesRequest& r)
{
    if (const StatusCode s = checkCount(r.nodesToRegister.size(), limits::kMaxNodesPerRegisterNodes); IsBad(s)) {
        fault(call, s);
        return;
    }
    // Lookups are already by hash: a registered node is the node itself.
    RegisterNodesResponse response;
    response.registeredNodeIds = r.nodesToRegister;
    respond(call, enc::RegisterNodesResponse, response);
}

void Server::unregisterNodes(Call& call, UnregisterNodesRequest& r)
{
    if (const StatusCode s = checkCount(r.nodesToUnregister.size(), limits::kMaxNodesPerRegisterNodes); IsBad(s)) {
        fault(call, s);
        return;
    }
    UnregisterNodesResponse response;
    respond(call, enc::UnregisterNodesResponse, response);
}

} // namespace ua
