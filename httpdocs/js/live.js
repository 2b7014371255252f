// Comfort only: the live region (id "live") refreshes itself every five
// seconds for a quarter of an hour, from the document its data-src names or
// else the page itself (the page works the same without it).
(function () {
  var live = document.getElementById('live'), left = 180;
  var source = live && live.getAttribute('data-src') || location.href;
  if (!live || !window.fetch || !window.DOMParser) return;
  var timer = setInterval(function () {
    if (document.hidden) return;
    if (--left < 0) { clearInterval(timer); return; }
    fetch(source, { credentials: 'same-origin' })
      .then(function (r) { return r.ok ? r.text() : null; })
      .then(function (text) {
        var fresh = text && new DOMParser().parseFromString(text, 'text/html').getElementById('live');
        if (fresh) live.innerHTML = fresh.innerHTML; else clearInterval(timer);
      })
      .catch(function () {});
  }, 5000);
})();
