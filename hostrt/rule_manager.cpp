#include "hostrt/rule_manager.h"

#include <stdlib.h>
#include <string.h>

DomainContext::DomainContext(const char* domain) : _domain(strdup(domain != nullptr ? domain : "")) {}

DomainContext::~DomainContext() {
    free(_domain);
}

Rule::Rule(const char* name) : _name(strdup(name != nullptr ? name : "")) {}

Rule::~Rule() {
    free(_name);
}

RuleStack::RuleStack() : _rules(nullptr), _count(0) {}

RuleStack::~RuleStack() {
    free(_rules);
}

void RuleStack::push(Rule* rule) {
    _rules = static_cast<Rule**>(realloc(_rules, sizeof(Rule*) * (_count + 1)));
    _rules[_count++] = rule;
}

Monitor::Monitor(RuleManager* manager, ManagedObject* object, RuleStack* stack)
    : _manager(manager), _object(object), _stack(stack) {}

Monitor::~Monitor() {}

InstanceMonitor::InstanceMonitor(DomainContext* context, Rule* rule) : _context(context), _rule(rule) {}

InstanceMonitor::~InstanceMonitor() {}

RuleManager::RuleManager(DomainContext* context, ManagedObjectManager* manager)
    : _context(context), _manager(manager), _dataChanges(0), _ruleChanges(0) {}

RuleManager::~RuleManager() {}

bool RuleManager::isInstanceMatch(Rule*, ManagedObject*) {
    return false;
}

void RuleManager::notifyDataChanged(ManagedObject*) {
    _dataChanges++;
}

void RuleManager::notifyRulesChanged() {
    _ruleChanges++;
}

void RuleManager::updateGlobalStates() {}

bool RuleManager::hasGlobalRules() {
    return false;
}
