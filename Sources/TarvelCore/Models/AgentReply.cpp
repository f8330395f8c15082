#include "TarvelCore/Models/AgentReply.hpp"

#include <algorithm>

namespace tarvel {

using JSONCoding::Fields;
using JSONCoding::ObjectBuilder;

namespace {
bool contains(const std::vector<AgentReplyGrant>& grants, AgentReplyGrant grant) {
  return std::find(grants.begin(), grants.end(), grant) != grants.end();
}
}  // namespace

bool AgentPendingReply::allowsAlways() const { return contains(grants, AgentReplyGrant::always); }
bool AgentPendingReply::allowsAllow() const { return contains(grants, AgentReplyGrant::allow); }
bool AgentPendingReply::allowsDeny() const { return contains(grants, AgentReplyGrant::deny); }
bool AgentPendingReply::allowsCancel() const { return contains(grants, AgentReplyGrant::cancel); }

Json Codable<AgentPromptOption>::encode(const AgentPromptOption& option) {
  return ObjectBuilder()
      .set("id", option.id)
      .set("label", option.label)
      .set("description", option.description)
      .build();
}

AgentPromptOption Codable<AgentPromptOption>::decode(const Json& value, const std::string& path) {
  const Fields fields(value, path);
  return AgentPromptOption{.id = fields.required<std::string>("id"),
                           .label = fields.required<std::string>("label"),
                           .description = fields.optional<std::string>("description")};
}

Json Codable<AgentPromptQuestion>::encode(const AgentPromptQuestion& question) {
  return ObjectBuilder()
      .set("text", question.text)
      .set("header", question.header)
      .set("options", question.options)
      .set("allowsMultiple", question.allowsMultiple)
      .build();
}

AgentPromptQuestion Codable<AgentPromptQuestion>::decode(const Json& value,
                                                         const std::string& path) {
  const Fields fields(value, path);
  return AgentPromptQuestion{
      .text = fields.required<std::string>("text"),
      .header = fields.optional<std::string>("header"),
      .options = fields.required<std::vector<AgentPromptOption>>("options"),
      .allowsMultiple = fields.required<bool>("allowsMultiple"),
  };
}

Json Codable<AgentPendingReply>::encode(const AgentPendingReply& reply) {
  return ObjectBuilder()
      .set("replyId", reply.replyId)
      .set("kind", reply.kind)
      .set("prompt", reply.prompt)
      .set("detail", reply.detail)
      .set("fullDetail", reply.fullDetail)
      .set("options", reply.options)
      .set("questions", reply.questions)
      .set("grants", reply.grants)
      .set("alwaysLabel", reply.alwaysLabel)
      .set("alwaysRule", reply.alwaysRule)
      .set("reason", reply.reason)
      .build();
}

AgentPendingReply Codable<AgentPendingReply>::decode(const Json& value, const std::string& path) {
  const Fields fields(value, path);
  return AgentPendingReply{
      .replyId = fields.required<UUID>("replyId"),
      .kind = fields.required<AgentPromptKind>("kind"),
      .prompt = fields.required<std::string>("prompt"),
      .detail = fields.optional<std::string>("detail"),
      .fullDetail = fields.optional<std::string>("fullDetail"),
      .options = fields.required<std::vector<AgentPromptOption>>("options"),
      .questions = fields.optional<std::vector<AgentPromptQuestion>>("questions"),
      .grants = fields.required<std::vector<AgentReplyGrant>>("grants"),
      .alwaysLabel = fields.optional<std::string>("alwaysLabel"),
      .alwaysRule = fields.optional<std::string>("alwaysRule"),
      .reason = fields.optional<std::string>("reason"),
  };
}

Json Codable<AgentReply>::encode(const AgentReply& reply) {
  return ObjectBuilder()
      .set("replyId", reply.replyId)
      .set("decision", reply.decision)
      .set("optionId", reply.optionId)
      .set("answers", reply.answers)
      .build();
}

AgentReply Codable<AgentReply>::decode(const Json& value, const std::string& path) {
  const Fields fields(value, path);
  return AgentReply{
      .replyId = fields.required<UUID>("replyId"),
      .decision = fields.required<AgentReplyDecision>("decision"),
      .optionId = fields.optional<std::string>("optionId"),
      .answers = fields.optional<std::map<std::string, std::vector<std::string>>>("answers"),
  };
}

Json Codable<AgentReplyHello>::encode(const AgentReplyHello& hello) {
  return ObjectBuilder()
      .set("replyId", hello.replyId)
      .set("timeoutSeconds", hello.timeoutSeconds)
      .set("confirmsReceipt", hello.confirmsReceipt)
      .build();
}

AgentReplyHello Codable<AgentReplyHello>::decode(const Json& value, const std::string& path) {
  const Fields fields(value, path);
  return AgentReplyHello{.replyId = fields.required<UUID>("replyId"),
                         .timeoutSeconds = fields.optional<std::int64_t>("timeoutSeconds"),
                         .confirmsReceipt = fields.optional<bool>("confirmsReceipt")};
}

Json Codable<AgentReplyAcknowledgement>::encode(const AgentReplyAcknowledgement& ack) {
  return ObjectBuilder()
      .set("registered", ack.registered)
      .set("wantsReceipt", ack.wantsReceipt)
      .build();
}

AgentReplyAcknowledgement Codable<AgentReplyAcknowledgement>::decode(const Json& value,
                                                                     const std::string& path) {
  const Fields fields(value, path);
  return AgentReplyAcknowledgement{.registered = fields.required<bool>("registered"),
                                   .wantsReceipt = fields.optional<bool>("wantsReceipt")};
}

}  // namespace tarvel
