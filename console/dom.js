// Small helpers to build the pages without HTML strings (so no text is ever read as markup).
export function h(tag, attributes = {}, ...children) {
    const node = document.createElement(tag);
    for (const [name, value] of Object.entries(attributes)) {
        if (name.startsWith('on'))
            node.addEventListener(name.slice(2), value);
        else if (value === true)
            node.setAttribute(name, '');
        else if (value !== false && value != null)
            node.setAttribute(name, value);
    }
    for (const child of children.flat()) {
        if (child != null && child !== false)
            node.append(child instanceof Node ? child : String(child));
    }
    return node;
}

// Repaints once per frame whatever arrived meanwhile: a burst of events costs one layout. With `everyMs`,
// at most once in that time: a steady stream of events then costs a few layouts a second, not sixty.
export function coalesced(paint, everyMs = 0) {
    let queued = false;
    let last = -Infinity;
    const frame = () => requestAnimationFrame((now) => { queued = false; last = now; paint(); });
    return () => {
        if (queued)
            return;
        queued = true;
        const wait = last + everyMs - performance.now();
        if (wait > 0)
            setTimeout(frame, wait);
        else
            frame();
    };
}

export function toast(text, error = false) {
    const bar = document.getElementById('toast');
    bar.textContent = text;
    bar.className = error ? 'error' : 'ok';
    clearTimeout(toast.timer);
    toast.timer = setTimeout(() => { bar.className = 'hidden'; }, 4000);
}
