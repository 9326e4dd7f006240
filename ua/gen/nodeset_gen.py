#!/usr/bin/python3
"""Generates the endpoint's tables of namespace 0 from the standard NodeSet2
XML (Opc.Ua.NodeSet2.xml, shipped for instance by the npm package
node-opcua-nodesets):

  Ns0Nodes.inc  the standard nodes the endpoint serves (their attributes) and
                the references between them
  NodeIds.h     numeric NodeIds of the nodes and data types the code names,
                the binary encoding ids of the structures it encodes or
                decodes, and the encoding ids of every service request

usage: nodeset_gen.py Opc.Ua.NodeSet2.xml NODE-IDS-TABLE OUTPUT-FOLDER

The NodeSet2 XML of release 1.05 leaves out the service messages, so their
encoding ids come from the standard's table of NodeIds (NodeIds.csv; the npm
package node-opcua-constants ships it as source/opcua_node_ids.ts, lines of
"Name = number"). Only names and numbers are read from it.

The served set is small on purpose: the folders every client browses first,
the Server object with the children generic clients read, and the types
those nodes use (with their supertypes, so a browse up a type hierarchy ends
at its root). References are kept when both ends are served.
"""
import re
import sys
import xml.etree.ElementTree as ET

NS = {"u": "http://opcfoundation.org/UA/2011/03/UANodeSet.xsd"}
TYPES_NS = "{http://opcfoundation.org/UA/2008/02/Types.xsd}"

# Nodes served besides the type closure: folders and the Server object's
# children, by NodeId. The Server object's optional parts that the endpoint
# does not keep (namespaces, session diagnostics, methods) are left out.
SEEDS = [
    84, 85, 86, 87, 88, 89, 90, 91,  # Root, Objects, Types, Views, the four type folders
    2253,  # Server
    2254, 2255, 2256, 2267, 2994,  # ServerArray, NamespaceArray, ServerStatus, ServiceLevel, Auditing
    2257, 2258, 2259, 2260, 2992, 2993,  # ServerStatus children
    2261, 2262, 2263, 2264, 2265, 2266,  # BuildInfo children
    2268, 2269, 2271, 2272, 2735, 2736, 2737, 3704, 11702, 11703, 12911,  # ServerCapabilities
    2996, 2997,  # ModellingRules, AggregateFunctions folders
    11704, 11705, 11707, 11710, 11711, 11712, 11714,  # OperationLimits and the limits enforced
    2274, 2275, 2294,  # ServerDiagnostics, its summary, EnabledFlag
    2276, 2277, 2278, 2279, 3705, 2281, 2282, 2284, 2285, 2286, 2287, 2288,  # summary children
    2295, 2296, 3709,  # VendorServerInfo, ServerRedundancy, RedundancySupport
]
# Built-in data types and the abstract ones above them.
BUILTIN_TYPES = list(range(1, 26)) + [26, 27, 28, 29]

# Names the code uses: constant name -> NodeId.
NAMED_NODES = {
    "RootFolder": 84, "ObjectsFolder": 85, "TypesFolder": 86, "ViewsFolder": 87,
    "Server": 2253, "ServerArray": 2254, "NamespaceArray": 2255, "ServerStatus": 2256,
    "ServerStatus_StartTime": 2257, "ServerStatus_CurrentTime": 2258, "ServerStatus_State": 2259,
    "ServerStatus_BuildInfo": 2260, "BuildInfo_ProductName": 2261, "BuildInfo_ProductUri": 2262,
    "BuildInfo_ManufacturerName": 2263, "BuildInfo_SoftwareVersion": 2264, "BuildInfo_BuildNumber": 2265,
    "BuildInfo_BuildDate": 2266, "ServerStatus_SecondsTillShutdown": 2992, "ServerStatus_ShutdownReason": 2993,
    "ServiceLevel": 2267, "Auditing": 2994,
    "ServerProfileArray": 2269, "LocaleIdArray": 2271, "MinSupportedSampleRate": 2272,
    "MaxBrowseContinuationPoints": 2735, "MaxQueryContinuationPoints": 2736,
    "MaxHistoryContinuationPoints": 2737, "SoftwareCertificates": 3704, "MaxArrayLength": 11702,
    "MaxStringLength": 11703, "MaxByteStringLength": 12911,
    "MaxNodesPerRead": 11705, "MaxNodesPerWrite": 11707, "MaxNodesPerBrowse": 11710,
    "MaxNodesPerRegisterNodes": 11711, "MaxNodesPerTranslateBrowsePathsToNodeIds": 11712,
    "MaxMonitoredItemsPerCall": 11714,
    "ServerDiagnosticsSummary": 2275, "EnabledFlag": 2294,
    "Summary_ServerViewCount": 2276, "Summary_CurrentSessionCount": 2277,
    "Summary_CumulatedSessionCount": 2278, "Summary_SecurityRejectedSessionCount": 2279,
    "Summary_RejectedSessionCount": 3705, "Summary_SessionTimeoutCount": 2281,
    "Summary_SessionAbortCount": 2282, "Summary_PublishingIntervalCount": 2284,
    "Summary_CurrentSubscriptionCount": 2285, "Summary_CumulatedSubscriptionCount": 2286,
    "Summary_SecurityRejectedRequestsCount": 2287, "Summary_RejectedRequestsCount": 2288,
    "RedundancySupport": 3709,
    # types
    "BaseObjectType": 58, "FolderType": 61, "BaseDataVariableType": 63, "PropertyType": 68,
    "References": 31, "HierarchicalReferences": 33, "HasChild": 34, "Organizes": 35,
    "HasComponent": 47, "HasProperty": 46, "HasTypeDefinition": 40, "HasSubtype": 45,
    "HasEncoding": 38, "NonHierarchicalReferences": 32, "Aggregates": 44,
}

# Structures whose binary encoding ids the code needs.
ENCODED_TYPES = [
    "ServiceFault", "OpenSecureChannelRequest", "OpenSecureChannelResponse",
    "CloseSecureChannelRequest", "CloseSecureChannelResponse",
    "FindServersRequest", "FindServersResponse", "GetEndpointsRequest", "GetEndpointsResponse",
    "CreateSessionRequest", "CreateSessionResponse", "ActivateSessionRequest", "ActivateSessionResponse",
    "CloseSessionRequest", "CloseSessionResponse",
    "BrowseRequest", "BrowseResponse", "BrowseNextRequest", "BrowseNextResponse",
    "TranslateBrowsePathsToNodeIdsRequest", "TranslateBrowsePathsToNodeIdsResponse",
    "RegisterNodesRequest", "RegisterNodesResponse", "UnregisterNodesRequest", "UnregisterNodesResponse",
    "ReadRequest", "ReadResponse", "WriteRequest", "WriteResponse",
    "CreateSubscriptionRequest", "CreateSubscriptionResponse", "ModifySubscriptionRequest",
    "ModifySubscriptionResponse", "DeleteSubscriptionsRequest", "DeleteSubscriptionsResponse",
    "SetPublishingModeRequest", "SetPublishingModeResponse",
    "CreateMonitoredItemsRequest", "CreateMonitoredItemsResponse",
    "ModifyMonitoredItemsRequest", "ModifyMonitoredItemsResponse",
    "DeleteMonitoredItemsRequest", "DeleteMonitoredItemsResponse",
    "SetMonitoringModeRequest", "SetMonitoringModeResponse",
    "PublishRequest", "PublishResponse", "RepublishRequest", "RepublishResponse",
    "AnonymousIdentityToken", "UserNameIdentityToken", "X509IdentityToken", "IssuedIdentityToken",
    "DataChangeFilter", "EventFilter", "AggregateFilter",
    "DataChangeNotification", "StatusChangeNotification", "EventNotificationList",
    "ServerStatusDataType", "BuildInfo", "ServerDiagnosticsSummaryDataType",
]


def node_id(text):
    m = re.fullmatch(r"i=(\d+)", text.strip())
    return int(m.group(1)) if m else None


def c_string(text):
    out = []
    for ch in text:
        if ch in "\\\"":
            out.append("\\" + ch)
        elif ch == "\n":
            out.append("\\n")
        elif ord(ch) < 0x20:
            out.append("\\x%02x" % ord(ch))
        else:
            out.append(ch)
    return '"' + "".join(out) + '"'


def main():
    source, table, folder = sys.argv[1], sys.argv[2], sys.argv[3]
    root = ET.parse(source).getroot()
    aliases = {a.get("Alias"): a.text.strip() for a in root.find("u:Aliases", NS)}

    def resolve(text):
        return node_id(aliases.get(text, text))

    nodes = {}
    refs = set()  # (source, referenceType, target), forward
    for element in root:
        tag = element.tag.split("}")[1]
        if not tag.startswith("UA"):
            continue
        nid = node_id(element.get("NodeId"))
        if nid is None:
            continue
        display = element.find("u:DisplayName", NS)
        description = element.find("u:Description", NS)
        inverse = element.find("u:InverseName", NS)
        node = {
            "id": nid, "class": tag[2:], "browse": element.get("BrowseName"),
            "display": display.text if display is not None and display.text else element.get("BrowseName"),
            "description": description.text if description is not None and description.text else "",
            "abstract": element.get("IsAbstract") == "true", "symmetric": element.get("Symmetric") == "true",
            "inverse": inverse.text if inverse is not None and inverse.text else "",
            "dataType": resolve(element.get("DataType", "i=0")) or 0,
            "valueRank": int(element.get("ValueRank", "-1")),
            "arrayDims": element.get("ArrayDimensions", ""),
            "eventNotifier": int(element.get("EventNotifier", "0")),
            "accessLevel": int(element.get("AccessLevel", "1")),
            "minSampling": float(element.get("MinimumSamplingInterval", "0")),
            "enumStrings": [],
        }
        value = element.find("u:Value", NS)
        if value is not None:
            texts = value.findall(".//" + TYPES_NS + "LocalizedText/" + TYPES_NS + "Text")
            if node["browse"] == "EnumStrings":
                node["enumStrings"] = [t.text or "" for t in texts]
        nodes[nid] = node
        for r in element.findall("u:References/u:Reference", NS):
            rtype = resolve(r.get("ReferenceType"))
            target = node_id(r.text)
            if rtype is None or target is None:
                continue
            if r.get("IsForward", "true") == "false":
                refs.add((target, rtype, nid))
            else:
                refs.add((nid, rtype, target))

    HAS_SUBTYPE, HAS_TYPE_DEFINITION, HAS_PROPERTY = 45, 40, 46
    supertype = {t: s for (s, r, t) in refs if r == HAS_SUBTYPE}
    served = set(SEEDS) | set(BUILTIN_TYPES)
    served |= {n for n, v in nodes.items() if v["class"] == "ReferenceType"}

    def add_with_supertypes(nid):
        while nid and nid not in served_types:
            served_types.add(nid)
            nid = supertype.get(nid)

    changed = True
    while changed:
        served_types = set()
        for nid in list(served):
            node = nodes[nid]
            if node["class"].endswith("Type"):
                add_with_supertypes(nid)
            for (s, r, t) in refs:
                if s == nid and r == HAS_TYPE_DEFINITION:
                    add_with_supertypes(t)
            if node["dataType"]:
                add_with_supertypes(node["dataType"])
        # Enumerations keep their EnumStrings property.
        for nid in list(served_types):
            for (s, r, t) in refs:
                if s == nid and r == HAS_PROPERTY and nodes[t]["enumStrings"]:
                    served_types.add(t)
        grown = served | served_types
        changed = grown != served
        served = grown

    kept_refs = sorted((s, r, t) for (s, r, t) in refs if s in served and t in served)
    node_class = {"Object": 1, "Variable": 2, "Method": 4, "ObjectType": 8, "VariableType": 16,
                  "ReferenceType": 32, "DataType": 64, "View": 128}

    with open(folder + "/Ns0Nodes.inc", "w") as out:
        out.write("// Generated by ua/gen/nodeset_gen.py from Opc.Ua.NodeSet2.xml; do not edit.\n")
        out.write("// {id, nodeClass, browseName, displayName, description, isAbstract, symmetric, inverseName,\n")
        out.write("//  dataType, valueRank, arrayDimension, eventNotifier, accessLevel, minimumSamplingInterval}\n")
        out.write("#define LINVARO_UA_NS0_NODES \\\n")
        for nid in sorted(served):
            n = nodes[nid]
            dims = n["arrayDims"].split(",")[0] if n["arrayDims"] else "0"
            out.write("    {%d, %d, %s, %s, %s, %s, %s, %s, %d, %d, %s, %d, %d, %s}, \\\n" % (
                nid, node_class[n["class"]], c_string(n["browse"]), c_string(n["display"]),
                c_string(n["description"]), "true" if n["abstract"] else "false",
                "true" if n["symmetric"] else "false", c_string(n["inverse"]), n["dataType"], n["valueRank"],
                dims, n["eventNotifier"], n["accessLevel"], repr(n["minSampling"])))
        out.write("\n// {source, referenceType, target}: forward references between served nodes.\n")
        out.write("#define LINVARO_UA_NS0_REFERENCES \\\n")
        for s, r, t in kept_refs:
            out.write("    {%d, %d, %d}, \\\n" % (s, r, t))
        out.write("\n// {node, texts}: the EnumStrings values of the served enumerations.\n")
        out.write("#define LINVARO_UA_NS0_ENUM_STRINGS \\\n")
        for nid in sorted(served):
            if nodes[nid]["enumStrings"]:
                out.write("    {%d, {%s}}, \\\n" % (nid, ", ".join(c_string(t) for t in nodes[nid]["enumStrings"])))
        out.write("\n")

    # Binary encoding ids by type name: from the NodeSet2 where it has the
    # type, else from the NodeIds table.
    encodings = {}
    for line in open(table):
        m = re.search(r"\b(\w+)_Encoding_DefaultBinary\s*=\s*(\d+)", line)
        if m:
            encodings[m.group(1)] = int(m.group(2))
    for (s, r, t) in refs:
        if r == 38 and nodes.get(t, {}).get("browse") == "Default Binary" and nodes[s]["class"] == "DataType":
            if nodes[s]["browse"] in encodings and encodings[nodes[s]["browse"]] != t:
                raise SystemExit("the two sources differ on " + nodes[s]["browse"])
            encodings[nodes[s]["browse"]] = t
    # A service request is a "...Request" with a matching "...Response".
    requests = sorted(v for name, v in encodings.items()
                      if name.endswith("Request") and name[:-7] + "Response" in encodings)

    with open(folder + "/NodeIds.h", "w") as out:
        out.write("#pragma once\n// Generated by ua/gen/nodeset_gen.py from Opc.Ua.NodeSet2.xml; do not edit.\n")
        out.write("#include <cstdint>\n\nnamespace ua::id {\n")
        for name, nid in NAMED_NODES.items():
            if nid not in nodes:
                raise SystemExit("no node %d" % nid)
            out.write("inline constexpr std::uint32_t %s = %d;\n" % (name, nid))
        out.write("} // namespace ua::id\n\n// Binary encoding ids (\"Default Binary\") of the structures the endpoint codes.\n")
        out.write("namespace ua::enc {\n")
        for name in ENCODED_TYPES:
            out.write("inline constexpr std::uint32_t %s = %d;\n" % (name, encodings[name]))
        out.write("} // namespace ua::enc\n\n// Binary encoding ids of every service request of the standard, sorted.\n")
        out.write("namespace ua {\ninline constexpr std::uint32_t kServiceRequestEncodings[] = {\n")
        for i in range(0, len(requests), 12):
            out.write("    " + ", ".join(str(x) for x in requests[i:i + 12]) + ",\n")
        out.write("};\n} // namespace ua\n")
    print("%d nodes, %d references, %d service requests" % (len(served), len(kept_refs), len(requests)))


if __name__ == "__main__":
    main()
