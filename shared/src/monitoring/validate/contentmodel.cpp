// Content models in words, and the first child that breaks one. The parser
// decides whether the content is valid; this only names the child for the
// explanation, so a plain greedy walk suffices: the schemas' models are
// deterministic (each child can only match one particle), which XML Schema
// demands of every model.
#include "contentmodel.h"

namespace monvalidate {

namespace {

std::string join(const std::vector<std::string>& words, const std::string& separator)
{
    std::string text;
    for (const std::string& word : words) {
        text += (text.empty() ? "" : separator) + word;
    }
    return text;
}

std::string particleWords(const ContentParticle& particle)
{
    if (particle.kind != ContentParticle::Kind::element) {
        // How often a whole group repeats is left out: the words say what
        // the element holds and in which order, its elements say how often.
        std::vector<std::string> items;
        for (const ContentParticle& part : particle.parts) {
            items.push_back(particleWords(part));
        }
        return particle.kind == ContentParticle::Kind::choice ? "one of " + join(items, ", ")
                                                              : join(items, ", then ");
    }
    const std::string text = "<" + particle.name + ">";
    if (particle.minOccurs == 0 && particle.maxOccurs == 1) {
        return "optionally " + text;
    }
    if (particle.maxOccurs > 1) {
        return (particle.minOccurs == 0 ? "any number of " : "one or more of ") + text;
    }
    return text;
}

class GreedyMatch {
public:
    explicit GreedyMatch(const std::vector<ChildName>& children) : _children(children) {}

    // Takes the particle as often as it can from position on; false when it
    // is needed more often than the children give.
    bool take(const ContentParticle& particle, std::size_t& position)
    {
        std::size_t count = 0;
        while (count < particle.maxOccurs) {
            std::size_t before = position;
            if (!takeOnce(particle, position)) {
                position = before;
                break;
            }
            ++count;
            if (position == before) {
                break; // an empty repetition would repeat for ever
            }
        }
        return count >= particle.minOccurs;
    }

    std::size_t stuck = 0; ///< the furthest child reached

private:
    bool takeOnce(const ContentParticle& particle, std::size_t& position)
    {
        switch (particle.kind) {
        case ContentParticle::Kind::element:
            if (position < _children.size() && _children[position].inNoNamespace &&
                *_children[position].name == particle.name) {
                ++position;
                stuck = std::max(stuck, position);
                return true;
            }
            return false;
        case ContentParticle::Kind::sequence:
            for (const ContentParticle& part : particle.parts) {
                if (!take(part, position)) {
                    return false;
                }
            }
            return true;
        case ContentParticle::Kind::choice:
            for (const ContentParticle& part : particle.parts) {
                std::size_t before = position;
                if (take(part, position) && position != before) {
                    return true;
                }
                position = before;
            }
            // A choice with an alternative that may be empty takes nothing.
            for (const ContentParticle& part : particle.parts) {
                if (take(part, position)) {
                    return true;
                }
            }
            return false;
        }
        return false;
    }

    const std::vector<ChildName>& _children;
};

} // namespace

std::string contentModelWords(const ContentParticle& model)
{
    return particleWords(model);
}

std::size_t firstMisfit(const ContentParticle& model, const std::vector<ChildName>& children)
{
    GreedyMatch match(children);
    std::size_t position = 0;
    match.take(model, position);
    return std::max(position, match.stuck);
}

} // namespace monvalidate
