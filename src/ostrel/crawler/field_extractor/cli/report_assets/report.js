// The report's own script: labels the marked elements of the page (in the
// sandboxed frame, where nothing of the page runs) and highlights a row's
// elements when the row is clicked.
(function () {
  "use strict";
  var data = JSON.parse(document.getElementById("report-data").textContent);
  var frame = document.getElementById("page");
  var started = false;
  var picked = null;

  function pageDoc() {
    var doc = frame.contentDocument;
    return doc && doc.querySelector('meta[name="ostrel-page"]') ? doc : null;
  }

  function colourOf(el) {
    var first = (el.getAttribute("data-ostrel-fields") || "f0").split(" ")[0];
    return data.colours[Number(first.slice(1))] || "#000";
  }

  function label() {
    var doc = pageDoc();
    if (!doc) return;
    var win = doc.defaultView;
    var old = doc.getElementById("ostrel-labels");
    if (old) old.parentNode.removeChild(old);
    var layer = doc.createElement("div");
    layer.id = "ostrel-labels";
    var marked = doc.querySelectorAll("[data-ostrel-mark]");
    var hidden = 0;
    Array.prototype.forEach.call(marked, function (el) {
      var box = el.getBoundingClientRect();
      if (!box.width && !box.height) {
        hidden += 1;
        return;
      }
      var tag = doc.createElement("span");
      tag.className = "ostrel-label";
      tag.textContent = el.getAttribute("data-ostrel-label");
      tag.setAttribute("data-for", el.getAttribute("data-ostrel-mark"));
      tag.style.background = colourOf(el);
      tag.style.left = box.left + win.scrollX + "px";
      tag.style.top = Math.max(0, box.top + win.scrollY - 13) + "px";
      if (el.classList.contains("ostrel-on")) tag.classList.add("ostrel-on");
      layer.appendChild(tag);
    });
    if (picked !== null) layer.classList.add("ostrel-picking");
    doc.documentElement.appendChild(layer);
    var note = document.getElementById("hidden-note");
    if (note) {
      note.textContent = hidden
        ? hidden + " of " + marked.length + " matched elements take no room on the page (in the head, or hidden), so they carry no label."
        : "";
    }
  }

  function pick(number) {
    var doc = pageDoc();
    if (!doc) return;
    picked = picked === number ? null : number;
    Array.prototype.forEach.call(doc.querySelectorAll(".ostrel-on"), function (el) {
      el.classList.remove("ostrel-on");
    });
    Array.prototype.forEach.call(document.querySelectorAll("tr.picked"), function (tr) {
      tr.classList.remove("picked");
    });
    var layer = doc.getElementById("ostrel-labels");
    if (layer) layer.classList.toggle("ostrel-picking", picked !== null);
    if (picked === null) return;
    Array.prototype.forEach.call(document.querySelectorAll('tr.row[data-row="' + picked + '"]'), function (tr) {
      tr.classList.add("picked");
    });
    var first = null;
    Array.prototype.forEach.call(doc.querySelectorAll('[data-ostrel-rows~="' + picked + '"]'), function (el) {
      el.classList.add("ostrel-on");
      var tag = doc.querySelector('.ostrel-label[data-for="' + el.getAttribute("data-ostrel-mark") + '"]');
      if (tag) tag.classList.add("ostrel-on");
      if (!first && el.getBoundingClientRect().height) first = el;
    });
    if (first) first.scrollIntoView({ block: "center" });
  }

  function start() {
    // The frame's document may still be loading (a long page): wait for it.
    var doc = pageDoc();
    if (started || !doc || doc.readyState !== "complete") return;
    started = true;
    label();
    window.addEventListener("resize", label);
    Array.prototype.forEach.call(document.querySelectorAll("tr.row"), function (tr) {
      var number = tr.getAttribute("data-row");
      tr.addEventListener("click", function () {
        pick(number);
      });
      tr.addEventListener("keydown", function (event) {
        if (event.key === "Enter" || event.key === " ") {
          event.preventDefault();
          pick(number);
        }
      });
    });
    document.body.setAttribute("data-ready", "1");
  }

  frame.addEventListener("load", start);
  start();
})();
