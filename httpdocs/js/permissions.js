// Comfort only: "AdminRegisterPlayer" reads as "Admin register player", and
// two buttons tick or clear the whole group.
(function () {
  var spans = document.querySelectorAll('.perm-grid .perm-name');
  for (var i = 0; i < spans.length; i++) {
    var words = spans[i].textContent.replace(/([a-z0-9])([A-Z])/g, '$1 $2').split(' ');
    for (var w = 1; w < words.length; w++)
      if (/^[A-Z][a-z]/.test(words[w])) words[w] = words[w].toLowerCase();
    spans[i].title = spans[i].textContent;
    spans[i].textContent = words.join(' ');
  }
  var bar = document.querySelector('.perm-tools');
  if (!bar) return;
  bar.hidden = false;
  bar.addEventListener('click', function (e) {
    var on = e.target.getAttribute('data-all');
    if (on === null) return;
    var boxes = document.querySelectorAll('.perm-grid input[type=checkbox]');
    for (var j = 0; j < boxes.length; j++) boxes[j].checked = on === '1';
  });
})();
