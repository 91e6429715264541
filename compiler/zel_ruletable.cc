#include "compiler/zel_ruletable.h"

#include "common/zel_log.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace
{

void copy_name(char (&dst)[ZEL_RULE_NAME_LEN], const char *src) { snprintf(dst, sizeof dst, "%s", src ? src : ""); }

void fill_block(action_block &b, uint32_t flags, uint32_t data_len, const void *action_data)
{
    b.hdr.flags = flags;
    b.hdr.length = data_len + static_cast<uint32_t>(sizeof(zel_action_block_hdr));
    const auto *p = static_cast<const uint8_t *>(action_data);
    b.data.assign(p, p + data_len);
}

}  // namespace

rule_table *zel_rule_table_create(const char *name, const char *alias, uint32_t data_len, const void *action_data)
{
    if (data_len != 0)
        ZEL_ASSERT(action_data);
    auto *t = new (std::nothrow) rule_table{};
    if (!t)
        return nullptr;
    copy_name(t->name, name);
    copy_name(t->alias, alias);
    try {
        fill_block(t->default_action, ZEL_ACTION_FLAG_DEFAULT, data_len, action_data);
    } catch (const std::bad_alloc &) {
        delete t;
        return nullptr;
    }
    return t;
}

void zel_rule_table_free(rule_table *t)
{
    if (!t)
        return;
    for (rule *r = t->head; r;) {
        rule *next = r->next;
        delete r->action;
        delete r;
        r = next;
    }
    delete t;
}

rule *zel_rule_add(rule_table *t, const char *name)
{
    auto *r = new (std::nothrow) rule{};
    if (!r)
        return nullptr;
    try {
        t->by_index.push_back(r);
    } catch (const std::bad_alloc &) {
        delete r;
        return nullptr;
    }
    copy_name(r->name, name);
    r->id = ++t->last_id;
    if (t->tail)
        t->tail->next = r;
    else
        t->head = r;
    t->tail = r;
    t->rule_count++;
    return r;
}

rule *zel_rule_at(const rule_table *t, uint32_t index)
{
    rule *r = index < t->by_index.size() ? t->by_index[index] : nullptr;
    ZEL_ASSERT(r != NULL);
    return r;
}

uint32_t zel_rule_count(const rule_table *table)
{
    ZEL_ASSERT(table);
    return table->rule_count;
}

const action_block *zel_rule_set_action(rule *r, uint32_t data_len, const void *action_data)
{
    ZEL_ASSERT(action_data);
    auto *b = new (std::nothrow) action_block{};
    if (!b)
        return nullptr;
    try {
        fill_block(*b, 0, data_len, action_data);
    } catch (const std::bad_alloc &) {
        delete b;
        return nullptr;
    }
    delete r->action;
    r->action = b;
    return b;
}

field_match *zel_rule_match(rule *r, uint32_t table_id)
{
    for (field_match &m : r->matches)
        if (m.table_id == table_id)
            return &m;
    return nullptr;
}

const field_match *zel_rule_match(const rule *r, uint32_t table_id)
{
    return zel_rule_match(const_cast<rule *>(r), table_id);
}

void zel_print_table(const rule_table *t)
{
    printf(" %s: table %s alias: %s\n", "zel_print_table", t->name, t->alias);
    for (const rule *r = t->head; r; r = r->next) {
        printf("-------------------------------- ");
        printf("Rule %s \n", r->name);
        printf("-------------------------------- ");
        for (const field_match &m : r->matches) {
            printf("\tField Id %d \n", static_cast<int>(m.field));
            for (const zel_range &rg : m.ranges) {
                printf("\t\tmin = 0x%x \n", rg.min);
                printf("\t\tmax_val = 0x%x \n", rg.max);
            }
        }
        const zel_action_block_hdr hdr = r->action ? r->action->hdr : zel_action_block_hdr{};
        printf("\tAction:\n ");
        printf("\t\tflags = 0x%x \n ", hdr.flags);
        printf("\t\tlen = %d \n ", static_cast<int>(hdr.length));
        if (hdr.length != 0 && r->action && !r->action->data.empty())
            printf("\t\tdata[0] = 0x%x \n ", r->action->data[0]);
        printf("\n");
    }
}
