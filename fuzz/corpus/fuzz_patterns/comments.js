for (let i = 0; i < n; i++) {
  // }
  * }
  fetch(i);
  $.ajax(url);
  /* } */
  fetch(j);
}
